#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

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
    const int fd = ::open(at(relative).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << relative;
    const std::string bytes(size, 'x');
    EXPECT_EQ(::write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    ::close(fd);
  }

  PrivilegedNode walk(std::string_view relative = "") const {
    auto node = PrivilegedWalk::walk(relative.empty() ? dir_.path() : at(relative), fileSystem_);
    EXPECT_TRUE(node.has_value()) << node.error().description();
    return node.value_or(PrivilegedNode{});
  }

  // Runs `work` in a forked child (for privileges, namespaces or limits that
  // must not leak into the test process) and returns what it produced.
  static std::string inChild(const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string out = work();
      for (std::size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
        if (n <= 0) ::_exit(1);
        done += static_cast<std::size_t>(n);
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
  }

  // The document of a walk of the scratch directory made in a child.
  PrivilegedNode walkInChild(const std::function<bool()>& prepare) const {
    const std::string document = inChild([&]() -> std::string {
      if (!prepare()) return "prepare failed";
      auto root = PrivilegedWalk::walk(dir_.path(), fileSystem_);
      if (!root) return root.error().description();
      return encodeDocument(*root).value_or("encode failed");
    });
    auto node = decodeDocument(document);
    EXPECT_TRUE(node.has_value()) << document;
    return node.value_or(PrivilegedNode{});
  }

  testing::TempDir dir_;
  platform::LinuxFileSystem fileSystem_;
};

bool isRoot() { return ::geteuid() == 0; }

const PrivilegedNode& child(const PrivilegedNode& node, std::string_view name) {
  for (const PrivilegedNode& c : node.children)
    if (c.name == name) return c;
  static const PrivilegedNode missing{"(missing)", "", false, -1, -1, -1, {}, false, {}};
  ADD_FAILURE() << "no child " << name << " in " << node.path;
  return missing;
}

TEST_F(PrivilegedWalkLinuxTest, HardLinksCountOnceInsideAndInFullOutside) {
  addDirectory("t");
  addFile("t/a", 65536);
  ASSERT_EQ(::link(at("t/a").c_str(), at("t/b").c_str()), 0);
  addFile("t/c", 65536);
  ASSERT_EQ(::link(at("t/c").c_str(), at("outside").c_str()), 0);
  const PrivilegedNode root = walk("t");
  const std::int64_t a = child(root, "a").allocatedSize;
  const std::int64_t b = child(root, "b").allocatedSize;
  EXPECT_TRUE((a >= 65536 && b == 0) || (a == 0 && b >= 65536)) << a << " " << b;
  EXPECT_GE(child(root, "c").allocatedSize, 65536);
  EXPECT_EQ(root.allocatedSize, a + b + child(root, "c").allocatedSize);
  EXPECT_EQ(root.fileCount, 3);
  EXPECT_GE(walk("t/b").allocatedSize, 65536);  // a root file is counted in full
}

TEST_F(PrivilegedWalkLinuxTest, SparseFileCountsItsStorageNotItsLength) {
  const int fd = ::open(at("sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "x", 1, 64 << 20), 1);
  ::close(fd);
  const PrivilegedNode root = walk();
  EXPECT_GT(root.allocatedSize, 0);
  EXPECT_LT(root.allocatedSize, 1 << 20);
}

TEST_F(PrivilegedWalkLinuxTest, SymbolicLinksAndSpecialFilesAreLeavesNeverFollowedOrOpened) {
  addDirectory("target");  // empty, so that no entry is merged
  ASSERT_EQ(::symlink("target", at("toDirectory").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", at("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0644), 0);  // opening it would block the walk
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  at("socket").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(sock);

  const PrivilegedNode root = walk();
  EXPECT_EQ(root.fileCount, 4);
  EXPECT_EQ(root.folderCount, 2);
  for (const char* name : {"toDirectory", "dangling", "fifo", "socket"}) {
    EXPECT_FALSE(child(root, name).isDirectory) << name;
  }
  const PrivilegedNode viaLink = walk("toDirectory");
  EXPECT_FALSE(viaLink.isDirectory);
  EXPECT_TRUE(viaLink.children.empty());
}

TEST_F(PrivilegedWalkLinuxTest, NamesOfAnyBytesBecomeValidJsonThatReadsBack) {
  const std::pair<std::string, std::string> names[] = {
      {"q\"uote", "q\"uote"},
      {"back\\slash", "back\\slash"},
      {"ctl\x01\x1f\n", "ctl\x01\x1f\n"},
      {"bad\xff\xfe", "bad\uFFFD\uFFFD"},
      {"cut\xe2\x82", "cut\uFFFD"},
      {"Grüße ✓", "Grüße ✓"},
      {".hidden", ".hidden"},
  };
  for (const auto& [raw, text] : names) addFile(raw, 4096);
  const PrivilegedNode root = walk();
  ASSERT_EQ(root.children.size(), std::size(names));
  for (const auto& [raw, text] : names) {
    EXPECT_EQ(child(root, text).path, dir_.path() + "/" + text);
  }
  const std::string document = encodeDocument(root).value();
  EXPECT_TRUE(platform::isValidUtf8(document));
  EXPECT_EQ(decodeDocument(document).value(), root);
}

TEST_F(PrivilegedWalkLinuxTest, ThousandEqualFilesBecomeOneAggregate) {
  for (int i = 0; i < 1000; ++i) addFile(std::to_string(i), 100);
  const PrivilegedNode root = walk();
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0].name, "1,000 more items");
  EXPECT_EQ(root.children[0].fileCount, 1000);
  EXPECT_EQ(root.fileCount, 1000);
  EXPECT_EQ(root.allocatedSize, root.children[0].allocatedSize);
}

bool buildChain(const std::string& top, int depth) {
  int fd = ::open(top.c_str(), O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    const int next =
        ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_DIRECTORY | O_CLOEXEC) : -1;
    ::close(fd);
    fd = next;
  }
  return fd >= 0 && ::close(::openat(fd, "leaf", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)) == 0 &&
         ::close(fd) == 0;
}

TEST_F(PrivilegedWalkLinuxTest, DeepChainWalksCompletelyWithFewDescriptors) {
  constexpr int kDepth = 5000;
  const std::string top = dir_.path();
  const PrivilegedNode root = walkInChild([&] {
    // As root the chain lives on a private tmpfs, gone with the child, which
    // spares the disk thousands of directory creations and removals.
    if (isRoot() && (::unshare(CLONE_NEWNS) != 0 ||
                     ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                     ::mount("tmpfs", top.c_str(), "tmpfs", 0, nullptr) != 0))
      return false;
    const rlimit limit{.rlim_cur = 48, .rlim_max = 48};
    return buildChain(top, kDepth) && ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
  });
  EXPECT_EQ(root.folderCount, kDepth + 1);
  EXPECT_EQ(root.fileCount, 1);
  const PrivilegedNode* node = &root;
  while (!node->children.empty()) node = &node->children[0];
  std::string expected = top;
  for (int i = 0; i < kDepth; ++i) expected += "/d";
  EXPECT_EQ(node->path, expected + "/leaf");
}

TEST_F(PrivilegedWalkLinuxTest, MountedVolumeIsAnEmptyNodeNotEntered) {
  if (!isRoot()) GTEST_SKIP() << "mounting a tmpfs needs root";
  addDirectory("mnt");
  addFile("file", 4096);
  const std::string mountPoint = at("mnt");
  const PrivilegedNode root = walkInChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0)
      return false;
    return ::close(::creat((mountPoint + "/inside").c_str(), 0644)) == 0;
  });
  const PrivilegedNode& mnt = child(root, "mnt");
  EXPECT_TRUE(mnt.isDirectory);
  EXPECT_EQ(mnt.allocatedSize, 0);
  EXPECT_EQ(mnt.folderCount, 1);
  EXPECT_EQ(mnt.fileCount, 0);
  EXPECT_TRUE(mnt.children.empty());
  EXPECT_TRUE(mnt.modificationDate.has_value());
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
    constexpr uid_t kNobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
           ::setresuid(kNobody, kNobody, kNobody) == 0;
  });
  const PrivilegedNode& locked = child(root, "locked");
  EXPECT_TRUE(locked.isDirectory);
  EXPECT_TRUE(locked.children.empty());
  EXPECT_EQ(locked.folderCount, 1);
  EXPECT_EQ(child(root, "open").fileCount, 1);
  EXPECT_EQ(root.fileCount, 1);
}

TEST_F(PrivilegedWalkLinuxTest, RootThatDoesNotExistReportsThePathAsSent) {
  const std::string path = dir_.path() + "/old/../none";
  const auto result = PrivilegedWalk::walk(path, fileSystem_);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().description(), "Not readable even as root: " + path);
}

}  // namespace
}  // namespace kelmarind::walk
