#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/linux_file_system.h"
#include "platform/unicode_text.h"
#include "tests/support/temp_dir.h"
#include "walk/node_json.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {
namespace {

// Walks real file trees built per test in a scratch directory.
class PrivilegedWalkLinuxTest : public ::testing::Test {
 protected:
  std::string at(std::string_view relative) const { return dir_ / relative; }

  void addDirectory(std::string_view relative) {
    ASSERT_EQ(::mkdir(at(relative).c_str(), 0755), 0) << relative;
  }

  void addFile(std::string_view relative, std::size_t size) {
    EXPECT_TRUE(std::ofstream(at(relative)) << std::string(size, 'x')) << relative;
  }

  // 1,401 files: 40 directories of three subdirectories of five files, one
  // of them a hard link to a file two directories away; 600 files in one
  // directory, 200 in another; a chain 30 directories deep.
  void addTreeOfManyShapes() {
    for (int d = 0; d < 40; ++d) {
      const std::string top = "d" + std::to_string(d);
      addDirectory(top);
      for (int s = 0; s < 3; ++s) {
        const std::string sub = top + "/s" + std::to_string(s);
        addDirectory(sub);
        for (int f = 0; f < 4; ++f) addFile(sub + "/f" + std::to_string(f), (d * 7 + f) * 512uz);
      }
      addFile(top + "/s0/own", 8192);
      for (const int s : {1, 2}) {
        ASSERT_EQ(
            ::link(at(top + "/s0/own").c_str(), at(top + "/s" + std::to_string(s) + "/l").c_str()),
            0);
      }
    }
    addDirectory("wide");
    for (int f = 0; f < 600; ++f) addFile("wide/w" + std::to_string(f), f % 3 == 0 ? 4096 : 0);
    addDirectory("wide/two");
    for (int f = 0; f < 200; ++f) addFile("wide/two/t" + std::to_string(f), 4096);
    std::string chain = "chain";
    for (int level = 0; level < 30; ++level, chain += "/c") addDirectory(chain);
    addFile(chain.substr(0, chain.size() - 2) + "/end", 1);
  }

  // The tree as the service would send it, read back: its document must
  // also equal the one written from the tree's value form.
  PrivilegedNode walk(std::string_view relative = "") const { return walk(relative, fileSystem_); }
  PrivilegedNode walk(std::string_view relative, const platform::FileSystem& fileSystem) const {
    auto tree = PrivilegedWalk::walkTree(relative.empty() ? dir_.path() : at(relative), fileSystem);
    EXPECT_TRUE(tree.has_value()) << tree.error().description();
    if (!tree) return {};
    const std::string document = encodeDocument(tree->root()).value_or("");
    EXPECT_EQ(document, encodeDocument(tree->toValue()).value_or("(failed)"));
    auto node = decodeDocument(document);
    EXPECT_TRUE(node.has_value()) << document.substr(0, 200);
    return node.value_or(PrivilegedNode{});
  }

  // A thread forked while it holds a lock of the address sanitizer's
  // allocator leaves the child waiting for it for ever: the read-ahead's
  // threads of an earlier walk here go idle and end first.
  static void waitForOtherThreadsToEnd() {
    const auto threads = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
    };
    for (int wait = 0; threads() > 1 && wait < 200; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Walks the scratch directory in a forked child, after `prepare`, so that
  // privileges, namespaces and limits stay out of the test process; the
  // document, or the walk's error text, comes back through a pipe.
  std::string walkTextInChild(const std::function<bool()>& prepare) const {
    return walkTextInChild(prepare, fileSystem_);
  }
  std::string walkTextInChild(const std::function<bool()>& prepare,
                              const platform::FileSystem& fileSystem) const {
    waitForOtherThreadsToEnd();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    if (::fork() == 0) {
      auto tree =
          prepare()
              ? PrivilegedWalk::walkTree(dir_.path(), fileSystem)
              : std::unexpected(PrivilegedWalk::WalkError{.path = "(not prepared)", .cause = {}});
      const std::string out =
          tree ? encodeDocument(tree->root()).value_or("") : tree.error().description();
      ::_exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string document;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) document.append(buffer, n);
    ::close(fds[0]);
    ::wait(nullptr);
    return document;
  }

  PrivilegedNode walkInChild(const std::function<bool()>& prepare) const {
    const std::string document = walkTextInChild(prepare);
    auto node = decodeDocument(document);
    EXPECT_TRUE(node.has_value()) << document.substr(0, 200);
    return node.value_or(PrivilegedNode{});
  }

  testing::TempDir dir_;
  // Every walk here reads ahead, as on a cold disk, besides sharing the tree
  // with the far-end examiner; walks on the second do only the latter, as
  // on a warm cache.
  platform::linux::LinuxFileSystem fileSystem_{platform::linux::ReadAheadUse::always};
  platform::linux::LinuxFileSystem warmFileSystem_{};
};

bool isRoot() { return ::geteuid() == 0; }

// In a child: mounts of its own, seen by nobody else and gone with it.
bool unshareMounts() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool mountPrivateTmpfs(const std::string& path) {
  return unshareMounts() && ::mount("tmpfs", path.c_str(), "tmpfs", 0, nullptr) == 0;
}

// In a child: openat2 fails with ENOSYS from now on, as under a service
// manager's system-call filter that cannot inspect its arguments.
bool refuseOpenat2() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{.len = std::size(filter), .filter = filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// In a child: lowers the descriptor limit so that exactly `spare` more
// descriptors can be open at once.
bool leaveSpareDescriptors(int spare) {
  // The number the listing of /proc/self/fd is about to take, and give back.
  const int listing = ::dup(STDIN_FILENO);
  if (listing < 0 || ::close(listing) != 0) return false;
  std::set<int> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    if (fd != listing) open.insert(fd);
  }
  rlim_t limit = 0;
  for (int free = 0; free < spare; ++limit) free += open.contains(static_cast<int>(limit)) ? 0 : 1;
  const rlimit bound{.rlim_cur = limit, .rlim_max = limit};
  return ::setrlimit(RLIMIT_NOFILE, &bound) == 0;
}

// In a child: no thread can be started, so the walk's own thread does all.
bool withoutThreads() {
  constexpr uid_t nobodyId = 65534;
  const rlimit none{.rlim_cur = 0, .rlim_max = 0};
  return ::setgroups(0, nullptr) == 0 && ::setresgid(nobodyId, nobodyId, nobodyId) == 0 &&
         ::setrlimit(RLIMIT_NPROC, &none) == 0 && ::setresuid(nobodyId, nobodyId, nobodyId) == 0;
}

std::vector<std::string> namesOf(const PrivilegedNode& node) {
  std::vector<std::string> out;
  for (const PrivilegedNode& c : node.children) out.emplace_back(c.name);
  return out;
}

const PrivilegedNode& child(const PrivilegedNode& node, std::string_view name) {
  for (const PrivilegedNode& c : node.children) {
    if (c.name == name) return c;
  }
  static const PrivilegedNode missing{"(missing)", "", false, -1, -1, -1, {}, false, {}};
  ADD_FAILURE() << "no child " << name << " in " << node.path;
  return missing;
}

TEST_F(PrivilegedWalkLinuxTest, CountsStorageOnceForHardLinksAndNotForHoles) {
  addDirectory("t");
  addFile("t/a", 65536);
  ASSERT_EQ(::link(at("t/a").c_str(), at("t/b").c_str()), 0);
  addFile("t/c", 65536);
  ASSERT_EQ(::link(at("t/c").c_str(), at("outside").c_str()), 0);
  addFile("t/sparse", 1);
  std::filesystem::resize_file(at("t/sparse"), 64 << 20);
  const PrivilegedNode root = walk("t");
  const std::int64_t a = child(root, "a").allocatedSize, b = child(root, "b").allocatedSize;
  EXPECT_TRUE((a >= 65536 && b == 0) || (a == 0 && b >= 65536)) << a << " " << b;
  EXPECT_GE(child(root, "c").allocatedSize, 65536);  // its other link is outside
  EXPECT_GT(child(root, "sparse").allocatedSize, 0);
  EXPECT_LT(child(root, "sparse").allocatedSize, 1 << 20);
  EXPECT_EQ(root.fileCount, 4);
  EXPECT_GE(walk("t/b").allocatedSize, 65536);  // a root file is counted in full
}

TEST_F(PrivilegedWalkLinuxTest, LinksAndSpecialFilesAreLeavesAndAnyNameBecomesValidText) {
  addDirectory("kinds");
  addDirectory("kinds/target");  // empty, so that nothing in "kinds" is merged
  ASSERT_EQ(::symlink("target", at("kinds/toDirectory").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", at("kinds/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(at("kinds/fifo").c_str(), 0644), 0);  // opening it would block the walk
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  at("kinds/socket").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(sock);
  const std::pair<std::string, std::string> names[] = {
      {"q\"uote", "q\"uote"},
      {"back\\slash", "back\\slash"},
      {"ctl\x01\x1f\n", "ctl\x01\x1f\n"},
      {"bad\xff\xfe", "bad\uFFFD\uFFFD"},
      {"cut\xe2\x82", "cut\uFFFD"},
      {".hidden", ".hidden"},
  };
  for (const auto& [raw, text] : names) addFile(raw, 4096);

  const PrivilegedNode root = walk();
  const PrivilegedNode& kinds = child(root, "kinds");
  EXPECT_EQ(std::tuple(kinds.folderCount, kinds.fileCount), std::tuple(2, 4));
  for (const char* name : {"toDirectory", "dangling", "fifo", "socket"}) {
    EXPECT_FALSE(child(kinds, name).isDirectory) << name;
  }
  EXPECT_FALSE(walk("kinds/toDirectory").isDirectory);
  for (const auto& [raw, text] : names) {
    EXPECT_EQ(std::string_view(child(root, text).path), at(text));
  }
  const std::string document = encodeDocument(root).value();
  EXPECT_TRUE(platform::isValidUtf8(document));
  EXPECT_EQ(decodeDocument(document).value(), root);
}

// Directories are examined from the far end of the tree and read ahead, and
// wide ones have their statuses read, on other threads. The document must be
// byte for byte the one the walk's own thread makes alone (no thread can be
// started as a user with no processes to spare), also where the other
// threads run out of descriptors.
TEST_F(PrivilegedWalkLinuxTest, OtherThreadsGiveTheDocumentOfTheWalkAlone) {
  if (!isRoot()) GTEST_SKIP() << "dropping to another user needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  addTreeOfManyShapes();
  const std::string alone = walkTextInChild(withoutThreads);
  ASSERT_TRUE(decodeDocument(alone).has_value()) << alone.substr(0, 200);
  EXPECT_EQ(decodeDocument(alone)->fileCount, 1401);
  const std::pair<const char*, std::function<bool()>> rows[] = {
      {"as it is", [] { return true; }},
      {"32 descriptors",
       [] {
         const rlimit bound{.rlim_cur = 32, .rlim_max = 32};
         return ::setrlimit(RLIMIT_NOFILE, &bound) == 0;
       }},
      {"12 descriptors to spare", [] { return leaveSpareDescriptors(12); }},
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& [name, prepare] : rows) {
      EXPECT_EQ(walkTextInChild(prepare), alone) << name;
      EXPECT_EQ(walkTextInChild(prepare, warmFileSystem_), alone) << name << ", warm";
    }
  }
  EXPECT_EQ(encodeDocument(walk()).value_or(""), alone);
}

// The directories read ahead hold descriptors the walks need too: in a
// process that may open only 32, they hold at most a quarter of them, however
// many directories there are to read ahead.
TEST_F(PrivilegedWalkLinuxTest, ReadingAheadHoldsAQuarterOfTheDescriptorsAtMost) {
  addDirectory("many");
  for (int d = 0; d < 60; ++d) {
    addDirectory("many/d" + std::to_string(d));
    addDirectory("many/d" + std::to_string(d) + "/below");
    addFile("many/d" + std::to_string(d) + "/file", 1);
  }
  const auto openCount = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  waitForOtherThreadsToEnd();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  if (::fork() == 0) {
    const rlimit bound{.rlim_cur = 32, .rlim_max = 32};
    long held = -1;
    if (::setrlimit(RLIMIT_NOFILE, &bound) == 0) {
      const auto before = openCount();
      auto root = fileSystem_.resolve(at("many"));
      auto entries = root ? (*root)->enumerate(at("many")) : std::unexpected(root.error());
      if (entries && (*entries)->next()) {
        // The read-ahead's threads take what they may meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        held = openCount() - before;
      }
    }
    ::_exit(::write(fds[1], &held, sizeof held) == sizeof held ? 0 : 1);
  }
  ::close(fds[1]);
  long held = -1;
  EXPECT_EQ(::read(fds[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
  ::close(fds[0]);
  ::wait(nullptr);
  // The root's anchor and the directory being listed, besides.
  EXPECT_GE(held, 0);
  EXPECT_LE(held, 32 / 4 + 2);
}

// Renames, replacements and new files while walks run, read ahead or not,
// the far-end examiner meeting them anywhere:
// every walk still gives a whole, consistent tree, and once the changes stop
// the document is the one the walk's own thread makes.
TEST_F(PrivilegedWalkLinuxTest, TreeChangingDuringTheWalksStaysConsistent) {
  if (!isRoot()) GTEST_SKIP() << "dropping to another user needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  addTreeOfManyShapes();
  std::atomic<bool> isChanging = true;
  std::thread changer([&] {
    for (int i = 0; isChanging; ++i) {
      std::filesystem::rename(at("d3"), at("moved"));
      std::filesystem::rename(at("d5"), at("d3"));
      std::filesystem::rename(at("moved"), at("d5"));
      addFile("d7/s1/new" + std::to_string(i % 50), 4096);
      std::filesystem::remove_all(at("d9/s2"));
      addDirectory("d9/s2");
    }
  });
  for (int round = 0; round < 20; ++round) {
    // Each of the two swapped directories (15 files) met twice or missed,
    // the five files of the directory made again missed, 50 new ones.
    const std::int64_t files = walk("", round % 2 == 0 ? fileSystem_ : warmFileSystem_).fileCount;
    EXPECT_TRUE(files >= 1401 - 2 * 15 - 5 && files <= 1401 + 50 + 2 * 15) << files;
  }
  isChanging = false;
  changer.join();
  EXPECT_EQ(encodeDocument(walk()).value_or(""), walkTextInChild(withoutThreads));
}

// Built with descriptors, since its paths are far longer than PATH_MAX. Every
// seventh level holds "d", the rest of the chain, between two empty
// directories: in either listing order one of them is reached after the walk
// comes back up from "d", and needs the level's descriptor again, with six
// levels that need none in between.
bool hasSiblings(int level) { return level % 7 == 0; }

bool buildChain(const std::string& top, int depth) {
  int fd = ::open(top.c_str(), O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    const bool isBuilt = (!hasSiblings(i) || ::mkdirat(fd, "e1", 0755) == 0) &&
                         ::mkdirat(fd, "d", 0755) == 0 &&
                         (!hasSiblings(i) || ::mkdirat(fd, "e2", 0755) == 0);
    const int next = isBuilt ? ::openat(fd, "d", O_DIRECTORY | O_CLOEXEC) : -1;
    ::close(fd);
    fd = next;
  }
  return fd >= 0 && ::close(::openat(fd, "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)) == 0 &&
         ::close(fd) == 0;
}

// With three descriptors to spare, one holding the root, one for the
// directory being listed and one for the next: every ancestor's descriptor
// is given back on the way down and found again on the way up. Alone, since
// the far-end examiner, with descriptors of its own, would open much of the
// chain for the walk.
TEST_F(PrivilegedWalkLinuxTest, DeepChainWalksCompletelyWithThreeDescriptors) {
  if (!isRoot()) GTEST_SKIP() << "the chain is built on a private tmpfs, which needs root";
  constexpr int treeDepth = 5000;
  const PrivilegedNode root = walkInChild([&] {
    return mountPrivateTmpfs(dir_.path()) && buildChain(dir_.path(), treeDepth) &&
           withoutThreads() && leaveSpareDescriptors(3);
  });
  const int withSiblings = (treeDepth + 6) / 7;
  EXPECT_EQ(std::tuple(root.folderCount, root.fileCount),
            std::tuple(treeDepth + 1 + 2 * withSiblings, 1));
  const PrivilegedNode* node = &root;
  std::string expected = dir_.path();
  for (int i = 0; i < treeDepth && !node->children.empty(); ++i) {
    if (hasSiblings(i)) {
      EXPECT_EQ(std::string_view(child(*node, "e1").path), expected + "/e1");
      EXPECT_EQ(std::string_view(child(*node, "e2").path), expected + "/e2");
    }
    expected += "/d";
    node = &child(*node, "d");
  }
  ASSERT_EQ(node->children.size(), 1u);
  EXPECT_EQ(std::string_view(node->children[0].path), expected + "/leaf");
}

// Out of descriptors for good, the walk fails with the reason rather than
// show the directories it could not open as empty.
TEST_F(PrivilegedWalkLinuxTest, WalkThatRunsOutOfDescriptorsFailsInsteadOfLeavingDirectoriesOut) {
  if (!isRoot()) GTEST_SKIP() << "dropping to another user needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  addDirectory("sub");
  addFile("sub/file", 4096);
  EXPECT_EQ(walk().fileCount, 1);
  // Alone: the far-end examiner's descriptors are not counted against the
  // walk's, so it might open the directory for it.
  EXPECT_EQ(walkTextInChild([] { return withoutThreads() && leaveSpareDescriptors(2); }),
            "Could not finish walking " + dir_.path() +
                " (openat: Too many open files); try again later.");
}

// A bind mount shows a directory of the same file system a second time, and
// one mounted below itself would show it without end: each directory is
// entered once, the other sightings are empty folders. The same holds where
// openat2 is refused, as under the service's unit.
TEST_F(PrivilegedWalkLinuxTest, BindMountsOfTheSameFileSystemAreCountedOnce) {
  if (!isRoot()) GTEST_SKIP() << "bind mounts need root";
  addDirectory("a");
  addDirectory("a/loop");
  addFile("a/data", 1 << 20);
  addDirectory("b");
  const PrivilegedNode alone = walk("a");
  const PrivilegedNode root = walkInChild([&] {
    return unshareMounts() &&
           ::mount(at("a").c_str(), at("b").c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(at("a").c_str(), at("a/loop").c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           refuseOpenat2();
  });
  EXPECT_EQ(std::tuple(root.allocatedSize, root.fileCount),
            std::tuple(alone.allocatedSize, alone.fileCount));
  // Whichever of the two was listed first was entered.
  const bool isAFirst = !child(root, "a").children.empty();
  const PrivilegedNode& entered = child(root, isAFirst ? "a" : "b");
  const PrivilegedNode& shown = child(root, isAFirst ? "b" : "a");
  EXPECT_EQ(std::tuple(shown.folderCount, shown.fileCount, shown.children.size()),
            std::tuple(1, 0, 0u));
  EXPECT_EQ(std::tuple(child(entered, "loop").folderCount, child(entered, "loop").children.size()),
            std::tuple(1, 0u));
}

TEST_F(PrivilegedWalkLinuxTest, MountedVolumeIsAnEmptyNodeNotEntered) {
  if (!isRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
  addDirectory("mnt");
  addFile("file", 4096);
  const PrivilegedNode root = walkInChild([&] {
    return mountPrivateTmpfs(at("mnt")) && ::close(::creat(at("mnt/inside").c_str(), 0644)) == 0;
  });
  const PrivilegedNode& mnt = child(root, "mnt");
  EXPECT_TRUE(mnt.modificationDate.has_value());
  EXPECT_EQ(
      mnt,
      (PrivilegedNode{
          "mnt", std::pmr::string(at("mnt")), true, 0, 1, 0, mnt.modificationDate, false, {}}));
  EXPECT_EQ(root.fileCount, 1);
}

TEST_F(PrivilegedWalkLinuxTest, DirectoryThatCannotBeListedKeepsItsNodeWithoutChildren) {
  if (!isRoot()) GTEST_SKIP() << "dropping to another user needs root";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  addDirectory("open");
  addFile("open/file", 4096);
  addDirectory("locked");
  addFile("locked/secret", 1 << 20);
  ASSERT_EQ(::chmod(at("locked").c_str(), 0700), 0);
  const PrivilegedNode root = walkInChild([] {
    constexpr uid_t nobodyName = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(nobodyName, nobodyName, nobodyName) == 0 &&
           ::setresuid(nobodyName, nobodyName, nobodyName) == 0;
  });
  EXPECT_EQ(namesOf(child(root, "open")), std::vector<std::string>{"file"});
  const PrivilegedNode& locked = child(root, "locked");
  EXPECT_EQ(std::tuple(locked.isDirectory, locked.children.size()), std::tuple(true, 0u));
}

}  // namespace
}  // namespace kelmarind::walk
