// The transport over real Unix sockets: a listener in this process, clients
// on their own sockets and threads.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/scan_client.h"
#include "platform/connection.h"
#include "platform/fake/fake_peer_verifier.h"
#include "platform/linux/linux_peer_verifier.h"
#include "platform/linux/listening_socket.h"
#include "platform/linux/unix_listener.h"
#include "platform/linux/unix_socket.h"
#include "platform/listener.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind {
namespace {

using client::ScanClient;
using platform::ExportedInterface;
using platform::ReplySender;
using platform::linux::UnixListener;
namespace wire = protocol;

constexpr auto patience = std::chrono::seconds(10);

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::size_t entryCount(const char* directory) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory),
                                                std::filesystem::directory_iterator()));
}

ExportedInterface scanInterface() {
  return {{{std::string(wire::walkSubtreeAtPathSelector),
            {wire::ValueType::text},
            platform::ReplyType::bytesAndText},
           {std::string(wire::pingWithReplySelector), {}, platform::ReplyType::text}}};
}

// The document a walk of "/large/N" or "/whole/N" answers: N bytes, no two
// neighbouring 4 KiB pages alike.
std::string largeDocument(std::size_t size) {
  std::string document(size, '\0');
  for (std::size_t i = 0; i < size; ++i) document[i] = static_cast<char>('a' + (i / 4093) % 26);
  return document;
}

// Answers pings with "ok" and walks with "walked <path>"; a walk waits until
// `walkGate` lets it go, so tests can hold requests in flight. "/large/N"
// answers largeDocument(N) written as a walk writes it, in chunks of odd
// sizes; "/whole/N" the same handed over whole.
class ScanObject final : public platform::ExportedObject {
 public:
  std::function<void()> walkGate = [] {};

  void invoke(const wire::Request& request, ReplySender reply) override {
    ++invocationCount;
    if (request.selector == wire::pingWithReplySelector) {
      std::move(reply).send(wire::Reply::ofText("ok"));
      return;
    }
    const std::string& path = request.arguments[0].content;
    if (path.starts_with("/large/") || path.starts_with("/whole/")) {
      const std::string document = largeDocument(std::stoul(path.substr(7)));
      if (path.starts_with("/whole/")) return std::move(reply).send({document, std::nullopt});
      auto bytes = reply.makeBytes();
      constexpr std::size_t chunk = 1'000'003;
      for (std::size_t at = 0; at < document.size(); at += chunk) {
        // A client that left takes no more.
        if (!bytes->write(std::string_view(document).substr(at, chunk))) {
          return std::move(reply).send(wire::Reply::ofText("not written"));
        }
      }
      return std::move(reply).sendWritten(std::move(bytes), std::nullopt);
    }
    walkGate();
    std::move(reply).send({"walked " + request.arguments[0].content, std::nullopt});
    ++completedWalkCount;
  }

  std::atomic<int> invocationCount = 0;
  std::atomic<int> completedWalkCount = 0;
};

class Delegate final : public platform::ListenerDelegate {
 public:
  explicit Delegate(platform::ExportedObject& object) : object_(object) {}
  std::atomic<bool> isAccepting = true;
  std::atomic<int> askedCount = 0;

  bool shouldAcceptNewConnection(platform::Connection& connection) override {
    ++askedCount;
    if (!isAccepting) return false;
    connection.setCodeSigningRequirement("identifier \"com.kelmarind.app\"");
    connection.setExportedInterface(scanInterface());
    connection.setExportedObject(object_);
    connection.resume();
    return true;
  }

 private:
  platform::ExportedObject& object_;
};

class TransportTest : public ::testing::Test {
 protected:
  void listen() { listen(UnixListener::Options{}); }

  void listen(UnixListener::Options options,
              const platform::linux::PeerVerifier* verifier = nullptr) {
    listener_.reset();
    options.socketPath = socketPath_;
    auto opened = UnixListener::open(verifier != nullptr ? *verifier : verifier_, options);
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    listener_ = std::move(*opened);
    listener_->setDelegate(delegate_);
    listener_->resume();
  }

  ScanClient connect() {
    auto client = ScanClient::connect(socketPath_);
    EXPECT_TRUE(client.has_value()) << client.error().message;
    return std::move(*client);
  }

  // A connection that has sent `bytes` and nothing else.
  platform::UniqueFd sendRaw(std::string_view bytes) {
    auto socket = platform::linux::connectUnixSocket(socketPath_);
    const std::array<std::string_view, 1> pieces{bytes};
    EXPECT_TRUE(socket.has_value() && platform::linux::sendAll(socket->get(), pieces));
    return std::move(socket).value_or(platform::UniqueFd());
  }

  // True when the helper closed `socket` without sending anything.
  static bool isClosedUnanswered(const platform::UniqueFd& socket) {
    std::array<char, 1> byte{};
    auto count = platform::linux::readFully(socket.get(), byte);
    return !count || *count == 0;
  }

  // True when the helper closes `socket` within `patience`, whatever it sent.
  static bool isClosedSoon(const platform::UniqueFd& socket) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::array<char, 4096> bytes{};
    for (;;) {
      auto received = platform::linux::receiveFully(socket.get(), bytes, deadline);
      if (!received) return received.error().code == ECONNRESET;
      if (received->size < bytes.size()) return true;
    }
  }

  testing::TempDir dir_;
  std::string socketPath_ = dir_ / "helper.sock";
  platform::fake::FakePeerVerifier verifier_{true};
  ScanObject object_;
  Delegate delegate_{object_};
  std::unique_ptr<UnixListener> listener_;
};

TEST_F(TransportTest, MalformedFrameClosesOnlyItsOwnConnection) {
  listen();
  auto frame = [](const wire::Request& request) { return *wire::encodeRequest(request); };
  const std::string walkFrame = frame({std::string(wire::walkSubtreeAtPathSelector), {{}}});
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"oversized prefix", std::string("\xfd\xff\x00\x00", 4)},
      {"truncated frame", walkFrame.substr(0, walkFrame.size() - 1)},
      {"bad kind", std::string(walkFrame).replace(4, 1, "\x02")},
      {"trailing byte inside frame", std::string(walkFrame).replace(0, 1, "\x1f") + "x"},
      {"unknown selector", frame({"deleteEverything:", {}})},
      {"wrong argument type",
       frame({std::string(wire::walkSubtreeAtPathSelector), {{wire::ValueType::bytes, "/"}}})},
      {"wrong argument count", frame({std::string(wire::pingWithReplySelector), {{}}})},
  };
  ScanClient served = connect();
  ASSERT_EQ(served.walkSubtreeAtPath(std::nullopt), "walked ");
  for (const auto& c : cases) {
    platform::UniqueFd hostile = sendRaw(c.bytes);
    // A truncated frame only ends when the stream does.
    ::shutdown(hostile.get(), SHUT_WR);
    EXPECT_TRUE(isClosedUnanswered(hostile)) << c.name;
    EXPECT_EQ(served.pingWithReply(), "ok") << c.name;
  }
  EXPECT_EQ(object_.invocationCount, 1 + static_cast<int>(std::size(cases)));
}

TEST_F(TransportTest, ServesTwoConnectionsAtOnce) {
  std::mutex mutex;
  std::condition_variable arrived;
  int waitingCount = 0;
  bool isPaired = true;
  object_.walkGate = [&] {
    std::unique_lock lock(mutex);
    ++waitingCount;
    arrived.notify_all();
    isPaired = isPaired && arrived.wait_for(lock, patience, [&] { return waitingCount == 2; });
  };
  listen();
  auto walk = [this](std::string path) { return connect().walkSubtreeAtPath(path); };
  auto first = std::async(std::launch::async, walk, "/a");
  auto second = std::async(std::launch::async, walk, "/b");
  EXPECT_EQ(first.get(), "walked /a");
  EXPECT_EQ(second.get(), "walked /b");
  EXPECT_TRUE(isPaired) << "each walk should have seen the other one arrive";
}

TEST_F(TransportTest, ClientVanishingMidRequestLeavesNoThreadOrDescriptor) {
  std::promise<void> entered;
  std::promise<void> release;
  object_.walkGate = [&, released = release.get_future().share()] {
    entered.set_value();
    released.wait();
  };
  listen();
  const std::size_t fdsBefore = entryCount("/proc/self/fd");
  const std::size_t tasksBefore = entryCount("/proc/self/task");
  {
    auto vanishing =
        sendRaw(*wire::encodeRequest({std::string(wire::walkSubtreeAtPathSelector), {{}}}));
    entered.get_future().wait();
  }
  release.set_value();
  EXPECT_TRUE(eventually([&] { return object_.completedWalkCount == 1; }));
  EXPECT_TRUE(eventually([&] { return listener_->liveConnectionCount() == 0; }));
  EXPECT_TRUE(eventually([&] { return entryCount("/proc/self/task") == tasksBefore; }));
  EXPECT_EQ(entryCount("/proc/self/fd"), fdsBefore);
  EXPECT_EQ(connect().pingWithReply(), "ok");
}

TEST_F(TransportTest, RefusedConnectionGetsNothingDelivered) {
  const struct {
    bool isVerified;
    bool isAccepted;
  } cases[] = {{false, true}, {true, false}};
  for (const auto& c : cases) {
    verifier_.setSatisfied(c.isVerified);
    delegate_.isAccepting = c.isAccepted;
    listen();
    auto answer = connect().pingWithReply();
    ASSERT_FALSE(answer.has_value()) << c.isVerified;
    EXPECT_EQ(answer.error().kind, client::ClientError::Kind::broken);
    EXPECT_NE(answer.error().message.find(socketPath_), std::string::npos);
  }
  EXPECT_EQ(delegate_.askedCount, 2);
  EXPECT_EQ(verifier_.askedRequirements(),
            std::vector<std::string>{"identifier \"com.kelmarind.app\""});
  EXPECT_EQ(object_.invocationCount, 0);
}

// The machine's endpoint group, made for the test (and removed after) when
// the machine has none. Tests run in parallel processes: the lock, held for
// the group's life, keeps one test from removing the group another one uses.
class EndpointGroup final {
 public:
  EndpointGroup() {
    const std::string name = platform::linux::endpointGroupName;
    if (::getgrnam(name.c_str()) == nullptr) {
      isMadeHere_ = std::system(("groupadd --system " + name).c_str()) == 0;
    }
    const group* found = ::getgrnam(name.c_str());
    gid = found != nullptr ? found->gr_gid : static_cast<gid_t>(-1);
  }
  EndpointGroup(const EndpointGroup&) = delete;
  EndpointGroup& operator=(const EndpointGroup&) = delete;
  ~EndpointGroup() {
    if (isMadeHere_) {
      (void)std::system(("groupdel " + std::string(platform::linux::endpointGroupName)).c_str());
    }
  }

  gid_t gid;

 private:
  bool isMadeHere_ = false;
  testing::UserDatabaseLock lock_;  // taken first and released last
};

// A system user made for the test, in `group` when given, removed after.
class TestUser final {
 public:
  TestUser(const std::string& name, std::optional<gid_t> group) : name_(name) {
    (void)std::system(("userdel " + name_ + " 2>/dev/null").c_str());
    const std::string command = "useradd --system --no-create-home --shell /usr/sbin/nologin " +
                                (group ? "-G " + std::to_string(*group) + " " : "") + name_;
    const passwd* entry = std::system(command.c_str()) == 0 ? ::getpwnam(name_.c_str()) : nullptr;
    uid = entry != nullptr ? entry->pw_uid : static_cast<uid_t>(-1);
    gid = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(-1);
    if (group) groups = {*group};
  }
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;
  ~TestUser() { (void)std::system(("userdel " + name_).c_str()); }

  // Runs `body` in a child process as this user; its exit status is what
  // `body` returns, 255 when becoming the user failed.
  [[nodiscard]] pid_t start(const std::function<int()>& body) const {
    const pid_t child = ::fork();
    if (child != 0) return child;
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(255);
    }
    ::_exit(body());
  }

  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;

 private:
  std::string name_;
};

int exitStatusOf(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// connect()'s errno for `path` as `user`; 0 when it connected.
int connectAs(const TestUser& user, const std::string& path) {
  return exitStatusOf(user.start([&] {
    auto socket = platform::linux::connectUnixSocket(path);
    return socket ? 0 : socket.error().code;
  }));
}

TEST_F(TransportTest, SelfBoundEndpointAdmitsOnlyRootAndTheEndpointGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  const EndpointGroup group;
  ASSERT_NE(group.gid, static_cast<gid_t>(-1)) << "groupadd failed";
  const TestUser member("kelmarind-test-member", group.gid);
  const TestUser outsider("kelmarind-test-outsider", std::nullopt);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  listen();
  struct stat status = {};
  ASSERT_EQ(::stat(socketPath_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0660u);
  EXPECT_EQ(status.st_gid, group.gid);
  EXPECT_EQ(connectAs(member, socketPath_), 0);
  EXPECT_EQ(connectAs(outsider, socketPath_), EACCES);
  EXPECT_EQ(connect().pingWithReply(), "ok");
}

TEST_F(TransportTest, RemovesOnlyAStaleSocket) {
  listen();
  listener_.reset();
  listen();  // the socket left behind is stale now
  EXPECT_EQ(connect().pingWithReply(), "ok");

  const std::string regularFile = dir_ / "not-a-socket";
  std::ofstream(regularFile) << "keep me";
  auto refused = UnixListener::open(verifier_, {regularFile, 64});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code, EEXIST);
  EXPECT_TRUE(std::filesystem::is_regular_file(regularFile));
}

// In a child process, hands over a socket listening on `boundPath` (an
// abstract name when it starts with '@') the way the service manager does,
// then opens the endpoint at `askedPath`. Exits 0 when the handed-over socket
// was taken, 1 when it was refused, 2 otherwise.
int openWithHandedOverSocket(const std::string& boundPath, const std::string& askedPath) {
  const pid_t child = ::fork();
  if (child != 0) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  boundPath.copy(address.sun_path, sizeof address.sun_path - 1);
  if (boundPath.starts_with('@')) address.sun_path[0] = '\0';
  const int handed = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::bind(handed, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(handed, 1) != 0 || ::dup2(handed, 3) != 3) {
    ::_exit(2);
  }
  ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
  ::setenv("LISTEN_FDS", "1", 1);
  auto opened = platform::linux::openListeningSocket(askedPath);
  if (!opened) ::_exit(1);
  const bool isTaken = opened->get() == 3 && (::fcntl(3, F_GETFD) & FD_CLOEXEC) != 0;
  ::_exit(isTaken ? 0 : 2);
}

TEST_F(TransportTest, TakesOverAHandedOverPathSocketButNeverAnAbstractOne) {
  EXPECT_EQ(openWithHandedOverSocket(dir_ / "a.sock", dir_ / "a.sock"), 0);
  EXPECT_EQ(openWithHandedOverSocket(dir_ / "b.sock", dir_ / "other.sock"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "other.sock"));
  EXPECT_EQ(openWithHandedOverSocket("@kelmarind-test-" + std::to_string(::getpid()),
                                     dir_ / "other.sock"),
            1);
}

TEST_F(TransportTest, UnreachableHelperIsAClientErrorNamingThePath) {
  auto client = ScanClient::connect(dir_ / "nobody.sock");
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().kind, client::ClientError::Kind::unreachable);
  EXPECT_NE(client.error().message.find(dir_ / "nobody.sock"), std::string::npos);
}

// One user holding its bound of connections neither gets another nor holds
// up anyone else: root and other users are served meanwhile.
TEST_F(TransportTest, AUsersConnectionsBeyondItsBoundAreClosedWhileOthersAreServed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make users and connect as them";
  const EndpointGroup group;
  const TestUser hog("kelmarind-test-hog", group.gid);
  const TestUser other("kelmarind-test-other", group.gid);
  ASSERT_NE(hog.uid, static_cast<uid_t>(-1)) << "useradd failed";
  ASSERT_NE(other.uid, static_cast<uid_t>(-1)) << "useradd failed";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  UnixListener::Options options;
  options.maxConnectionsPerUser = 2;
  listen(options);

  std::array<int, 2> holding{};
  std::array<int, 2> release{};
  ASSERT_EQ(::pipe(holding.data()), 0);
  ASSERT_EQ(::pipe(release.data()), 0);
  const pid_t hogging = hog.start([&] {
    ::close(release[1]);
    auto first = ScanClient::connect(socketPath_);
    auto second = ScanClient::connect(socketPath_);
    auto third = ScanClient::connect(socketPath_);
    const bool isBoundKept = first && first->pingWithReply() == "ok" && second &&
                             second->pingWithReply() == "ok" && third &&
                             !third->pingWithReply().has_value();
    (void)::write(holding[1], "h", 1);
    char byte = 0;
    (void)::read(release[0], &byte, 1);
    return isBoundKept ? 0 : 1;
  });
  ::close(holding[1]);
  ::close(release[0]);
  char byte = 0;
  ASSERT_EQ(::read(holding[0], &byte, 1), 1);
  EXPECT_EQ(connect().pingWithReply(), "ok");
  const pid_t otherUser = other.start([&] {
    auto client = ScanClient::connect(socketPath_);
    return client && client->pingWithReply() == "ok" ? 0 : 1;
  });
  EXPECT_EQ(exitStatusOf(otherUser), 0) << "another user was held up";
  ::close(release[1]);
  ::close(holding[0]);
  EXPECT_EQ(exitStatusOf(hogging), 0) << "the third connection was served";
}

// A client that connects and sends nothing, half a frame, or requests without
// ever reading the replies is closed, its thread and memory given back.
TEST_F(TransportTest, IdleRequestsAndStalledRepliesEndTheirConnection) {
  UnixListener::Options options;
  options.idleLimit = std::chrono::milliseconds(300);
  options.stallLimit = std::chrono::milliseconds(300);
  listen(options);
  const std::string ping = *wire::encodeRequest({std::string(wire::pingWithReplySelector), {}});
  std::string pings;
  for (int i = 0; i < 2000; ++i) pings += ping;
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"nothing", ""},
      {"half a header", ping.substr(0, 2)},
      {"half a payload", ping.substr(0, ping.size() - 3)},
      {"pings never read", pings},
  };
  for (const auto& c : cases) {
    platform::UniqueFd held = sendRaw(c.bytes);
    EXPECT_TRUE(eventually([&] { return listener_->liveConnectionCount() == 0; })) << c.name;
    EXPECT_TRUE(isClosedSoon(held)) << c.name;
    EXPECT_EQ(connect().pingWithReply(), "ok") << c.name;
  }
}

// A process that never connected, using a connection its parent had
// accepted, is judged by what it runs, not by its parent's check.
TEST_F(TransportTest, EachRequestIsJudgedByTheProcessThatSentIt) {
  const platform::linux::LinuxPeerVerifier verifier;
  listen(UnixListener::Options{}, &verifier);
  const std::string peer = testing::binaryPath("identity_peer_client");
  const struct {
    const char* heir;
    const char* answers;
    int invocationCount;
  } cases[] = {
      {"identity_peer_foreign", "ok\nclosed\n", 1},
      {"identity_peer_client", "ok\nok\n", 2},
  };
  for (const auto& c : cases) {
    object_.invocationCount = 0;
    const testing::ProcessResult result =
        testing::runProcess({peer, socketPath_, "hand-to", testing::binaryPath(c.heir)});
    EXPECT_EQ(result.out, c.answers) << c.heir;
    EXPECT_EQ(object_.invocationCount, c.invocationCount) << c.heir;
  }
}

// What a hostile or broken helper might pass beside a reply frame.
struct PassedDocument {
  const char* name;
  std::string content;  // of the memory file; empty for none
  int seals;            // added to it
  bool isPipe;          // a pipe's end instead
  std::string frame;    // the reply frame sent with it
  bool isTrusted;
};

platform::UniqueFd memoryFile(const std::string& content, int seals) {
  platform::UniqueFd file(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  EXPECT_EQ(::write(file.get(), content.data(), content.size()),
            static_cast<ssize_t>(content.size()));
  EXPECT_EQ(::fcntl(file.get(), F_ADD_SEALS, seals), 0);
  return file;
}

TEST_F(TransportTest, ClientMapsOnlyASealedMemoryFileOfTheAnnouncedSize) {
  const int sealed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
  const auto announcing = [](std::size_t size) {
    return *wire::encodeSealedReply(size, std::nullopt);
  };
  const std::string inlineFrame = [] {
    const wire::Reply reply{std::string("doc"), std::nullopt};  // the frame's body points into it
    auto frame = *wire::encodeReply(reply);
    return frame.head + std::string(frame.body);
  }();
  std::string beyondLimit = announcing(3);
  beyondLimit.replace(beyondLimit.size() - 4, 4, "\x01\x00\x00\x80", 4);
  const std::vector<PassedDocument> rows = {
      {"sealed", "doc", sealed, false, announcing(3), true},
      {"not sealed", "doc", 0, false, announcing(3), false},
      {"still writable", "doc", sealed & ~F_SEAL_WRITE, false, announcing(3), false},
      {"shorter than announced", "do", sealed, false, announcing(3), false},
      {"longer than announced", "docs", sealed, false, announcing(3), false},
      {"a pipe", "", 0, true, announcing(3), false},
      {"none", "", 0, false, announcing(3), false},
      {"beside inline bytes", "doc", sealed, false, inlineFrame, false},
      {"announced beyond the limit", "doc", sealed, false, beyondLimit, false},
  };
  const std::string fakePath = dir_ / "fake.sock";
  auto fake = platform::linux::openListeningSocket(fakePath);
  ASSERT_TRUE(fake.has_value());
  const std::size_t fdsBefore = entryCount("/proc/self/fd");
  for (const PassedDocument& row : rows) {
    std::thread helper([&] {
      auto connection = platform::linux::acceptConnection(fake->get());
      std::array<char, 64> request{};
      (void)::recv(connection->get(), request.data(), request.size(), 0);
      std::array<int, 2> pipe{-1, -1};
      if (row.isPipe) {
        ASSERT_EQ(::pipe2(pipe.data(), O_CLOEXEC), 0);
      }
      platform::UniqueFd file =
          row.content.empty() ? platform::UniqueFd(pipe[1]) : memoryFile(row.content, row.seals);
      platform::UniqueFd pipeRead(pipe[0]);
      const std::array<std::string_view, 1> pieces{row.frame};
      EXPECT_TRUE(platform::linux::sendAll(connection->get(), pieces, file.get()));
    });
    auto client = ScanClient::connect(fakePath);
    ASSERT_TRUE(client.has_value());
    const auto answer = client->walkSubtreeAtPath("/x");
    helper.join();
    if (row.isTrusted) {
      EXPECT_EQ(answer, "doc") << row.name;
    } else {
      ASSERT_FALSE(answer.has_value()) << row.name;
      EXPECT_EQ(answer.error().kind, client::ClientError::Kind::malformedReply) << row.name;
    }
  }
  EXPECT_EQ(entryCount("/proc/self/fd"), fdsBefore) << "a passed descriptor was kept";
}

// A large reply comes in parts, each sent as soon as it is written: read
// whole, they are one document (the largest here outgrows the client's first
// reservation, so the parts mapped so far move); given to a sink, each
// arrives on its own and the answer holds the rest. Written in chunks or
// handed over whole, at sizes on and off the parts' boundaries.
TEST_F(TransportTest, LargeRepliesComeInPartsThatReadAsOneDocument) {
  listen();
  const std::size_t fdsBefore = entryCount("/proc/self/fd");
  const std::size_t part = wire::replyPartSize;
  for (const std::size_t size : {2 * part + 12'345, 2 * part, part + 1, 5 * part + 1}) {
    const std::string expected = largeDocument(size);
    for (const std::string how : {"/large/", "/whole/"}) {
      const std::string path = how + std::to_string(size);
      const auto whole = connect().walkSubtreeAtPath(path);
      ASSERT_TRUE(whole && *whole) << path;
      EXPECT_TRUE((*whole)->text() == expected) << path;

      std::vector<std::size_t> partSizes;
      std::string joined;
      const auto rest =
          connect().walkSubtreeAtPath(path, [&](const client::ReceivedDocument& received) {
            partSizes.push_back(received.text().size());
            joined += received.text();
            return true;
          });
      ASSERT_TRUE(rest && *rest) << path;
      joined += (*rest)->text();
      EXPECT_TRUE(joined == expected) << path;
      EXPECT_EQ(partSizes, std::vector<std::size_t>((size - 1) / part, part)) << path;
    }
  }
  // However many parts a reply has, the helper holds only so many of them
  // open until it ends.
  std::vector<std::size_t> openWhileParts;
  const bool isManyRead =
      connect()
          .walkSubtreeAtPath("/large/" + std::to_string(34 * part + 1),
                             [&](const client::ReceivedDocument&) {
                               openWhileParts.push_back(entryCount("/proc/self/fd"));
                               return true;
                             })
          .has_value();
  ASSERT_TRUE(isManyRead);
  ASSERT_EQ(openWhileParts.size(), 34U);
  EXPECT_LE(openWhileParts.back(), openWhileParts[17] + 2) << "every part sent was held";
  // A reader that stops at the first part ends the reply, and only its own.
  auto stopped = connect().walkSubtreeAtPath("/large/" + std::to_string(3 * part),
                                             [](const client::ReceivedDocument&) { return false; });
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind, client::ClientError::Kind::broken);
  EXPECT_EQ(connect().pingWithReply(), "ok");
  EXPECT_TRUE(eventually([&] { return entryCount("/proc/self/fd") == fdsBefore; }))
      << "a part's descriptor was kept";
}

// The messages, in order, as a vector: they are move-only.
template <typename... Messages>
auto list(Messages... messages) {
  std::vector<std::common_type_t<Messages...>> out;
  (out.push_back(std::move(messages)), ...);
  return out;
}

// A sparse memory file of `size` zero bytes with `seals`.
platform::UniqueFd zeroFile(std::size_t size, int seals) {
  platform::UniqueFd file(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  EXPECT_EQ(::ftruncate(file.get(), static_cast<off_t>(size)), 0);
  EXPECT_EQ(::fcntl(file.get(), F_ADD_SEALS, seals), 0);
  return file;
}

// The leading parts of a document are held to what a whole one is, and to
// their own rules: whole pages, within the reply's limit together, and
// dropped when the reply ends in a text.
TEST_F(TransportTest, ClientTakesPartsOnlyAsTheProtocolShapesThem) {
  const int sealed = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
  struct Message {
    platform::UniqueFd file;  // none: the frame comes alone
    std::string frame;
  };
  const auto part = [&](std::size_t size, int seals) {
    return Message{zeroFile(size, seals), *wire::encodeSealedPart(size)};
  };
  const auto fileless = [](std::size_t size) {
    return Message{platform::UniqueFd(), *wire::encodeSealedPart(size)};
  };
  const auto sealedRest = [&] {
    return Message{memoryFile("doc", sealed), *wire::encodeSealedReply(3, std::nullopt)};
  };
  const auto inlineRest = [] {
    const wire::Reply reply{std::string("doc"), std::nullopt};
    auto frame = *wire::encodeReply(reply);
    return Message{platform::UniqueFd(), frame.head + std::string(frame.body)};
  };
  const auto text = [] {
    return Message{platform::UniqueFd(), wire::encodeReply(wire::Reply::ofText("gave up"))->head};
  };
  // The largest part a frame can announce, in whole pages.
  const std::size_t largest = (wire::maxReplyFrameSize - 4096) / 4096 * 4096;
  const std::string page(4096, '\0');
  const struct {
    const char* name;
    std::function<std::vector<Message>()> messages;
    std::optional<std::string> document;  // none when refused
    bool isText = false;                  // the answer is the helper's text instead
  } rows[] = {
      {"a part and a sealed rest", [&] { return list(part(4096, sealed), sealedRest()); },
       page + "doc"},
      {"a part and an inline rest", [&] { return list(part(4096, sealed), inlineRest()); },
       page + "doc"},
      {"a part and then a text", [&] { return list(part(4096, sealed), text()); }, "gave up", true},
      {"a part of less than a page", [&] { return list(part(4095, sealed), sealedRest()); }, {}},
      {"a part not sealed", [&] { return list(part(4096, 0), sealedRest()); }, {}},
      {"a part without its file", [&] { return list(fileless(4096), sealedRest()); }, {}},
      {"parts beyond the reply's limit together",
       [&] { return list(part(largest, sealed), part(8192, sealed), sealedRest()); },
       {}},
  };
  const std::string fakePath = dir_ / "fake.sock";
  auto fake = platform::linux::openListeningSocket(fakePath);
  ASSERT_TRUE(fake.has_value());
  const std::size_t fdsBefore = entryCount("/proc/self/fd");
  // Each row read whole, and with the parts going to a sink as they come.
  for (const bool isSunk : {false, true}) {
    for (const auto& row : rows) {
      std::vector<Message> messages = row.messages();
      std::thread helper([&] {
        auto connection = platform::linux::acceptConnection(fake->get());
        std::array<char, 64> request{};
        (void)::recv(connection->get(), request.data(), request.size(), 0);
        for (const Message& message : messages) {
          const std::array<std::string_view, 1> pieces{message.frame};
          const int file = message.file ? message.file.get() : -1;
          // The client may stop reading at a message it refuses.
          if (!platform::linux::sendAll(connection->get(), pieces, file)) break;
        }
      });
      auto client = ScanClient::connect(fakePath);
      ASSERT_TRUE(client.has_value());
      std::string sunk;
      client::DocumentPartSink sink;
      if (isSunk) {
        // Only the small parts' bytes are kept: the large ones are sparse.
        sink = [&](const client::ReceivedDocument& received) {
          if (received.text().size() <= 8192) sunk += received.text();
          return true;
        };
      }
      const auto answer = client->walkSubtreeAtPath("/x", sink);
      helper.join();
      if (!row.document) {
        ASSERT_FALSE(answer.has_value()) << row.name << isSunk;
        EXPECT_EQ(answer.error().kind, client::ClientError::Kind::malformedReply) << row.name;
      } else if (row.isText) {
        ASSERT_TRUE(answer.has_value() && !answer->has_value()) << row.name << isSunk;
        EXPECT_EQ(answer->error(), *row.document) << row.name;
      } else {
        ASSERT_TRUE(answer.has_value() && answer->has_value()) << row.name << isSunk;
        EXPECT_TRUE(sunk + std::string((*answer)->text()) == *row.document) << row.name;
      }
    }
  }
  EXPECT_EQ(entryCount("/proc/self/fd"), fdsBefore) << "a passed descriptor was kept";
}

}  // namespace
}  // namespace kelmarind
