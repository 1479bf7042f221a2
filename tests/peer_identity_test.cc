// Real peer processes connecting over a real Unix socket: who is accepted as
// the client and who is refused.

#include "platform/linux/peer_identity.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/linux_peer_verifier.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::platform::linux {
namespace {

constexpr std::string_view clientRequirement = R"(identifier "com.kelmarind.app")";
constexpr std::string_view teamRequirement =
    R"(identifier "com.kelmarind.app" and anchor apple generic and certificate leaf[subject.OU] = "ABCDE12345")";

std::string builtPeer(std::string_view name) {
  return std::string(KELMARIND_BIN_DIR "/") + std::string(name);
}

class PeerIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener_.isValid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath_.c_str());
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(::listen(listener_.get(), 8), 0);
  }

  void TearDown() override {
    connections_.clear();  // the peers read end-of-file and leave
    for (const pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  }

  // Starts `executable` connecting to our socket and returns our end.
  int connect(const std::string& executable, bool exitsAtOnce = false) {
    std::vector<char*> argv{const_cast<char*>(executable.c_str()),
                            const_cast<char*>(socketPath_.c_str())};
    std::string exitWord = "exit";
    if (exitsAtOnce) argv.push_back(exitWord.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    children_.push_back(pid);
    connections_.emplace_back(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(connections_.back().isValid());
    return connections_.back().get();
  }

  // Waits until the newest peer has exited, leaving it unreaped when asked.
  void awaitExit(bool isReaped) {
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(children_.back()), &info,
                       WEXITED | (isReaped ? 0 : WNOWAIT)),
              0);
    if (isReaped) children_.pop_back();
  }

  // A copy of the client peer in the scratch directory, with `mode`.
 public:
  std::string copyOfClient(mode_t mode) {
    const std::string copy = dir_ / "copy";
    std::filesystem::copy_file(builtPeer("identity_peer_client"), copy);
    EXPECT_EQ(::chmod(copy.c_str(), mode), 0);
    return copy;
  }

 protected:
  testing::TempDir dir_;
  std::string socketPath_ = dir_ / "socket";
  UniqueFd listener_;
  std::vector<UniqueFd> connections_;
  std::vector<pid_t> children_;
};

TEST_F(PeerIdentityTest, AcceptsTheClient) {
  const int connection = connect(builtPeer("identity_peer_client"));
  EXPECT_EQ(peerIdentity(connection).value_or(CodeIdentity{}).identifier, "com.kelmarind.app");
  EXPECT_TRUE(LinuxPeerVerifier().satisfies(connection, clientRequirement));
}

TEST_F(PeerIdentityTest, RefusesTheClientUnderTheTeamForm) {
  const int connection = connect(builtPeer("identity_peer_client"));
  EXPECT_FALSE(LinuxPeerVerifier().satisfies(connection, teamRequirement));
  EXPECT_FALSE(LinuxPeerVerifier().satisfies(connection, R"(identifier "com.kelmarind.app)"));
}

TEST_F(PeerIdentityTest, RefusesAForeignIdentifier) {
  const int connection = connect(builtPeer("identity_peer_foreign"));
  EXPECT_EQ(peerIdentity(connection).value_or(CodeIdentity{}).identifier, "com.example.other");
  EXPECT_FALSE(LinuxPeerVerifier().satisfies(connection, clientRequirement));
}

struct RefusalCase {
  std::string name;
  std::function<std::string(PeerIdentityTest&)> executable;
  IdentityProblem problem;
};

class PeerRefusalTest : public PeerIdentityTest, public ::testing::WithParamInterface<RefusalCase> {
 public:
  std::string copyWith(mode_t mode) { return copyOfClient(mode); }
};

TEST_P(PeerRefusalTest, Refuses) {
  const std::string executable = GetParam().executable(*this);
  if (executable.empty()) GTEST_SKIP() << "changing a file's owner needs root";
  const int connection = connect(executable);
  const auto identity = peerIdentity(connection);
  ASSERT_FALSE(identity.has_value()) << identity->identifier;
  EXPECT_EQ(identity.error().problem, GetParam().problem) << identity.error().cause.message();
  EXPECT_FALSE(LinuxPeerVerifier().satisfies(connection, clientRequirement));
}

INSTANTIATE_TEST_SUITE_P(
    Peers, PeerRefusalTest,
    ::testing::Values(
        RefusalCase{"WithoutIdentity", [](auto&) { return builtPeer("identity_peer_bare"); },
                    IdentityProblem::missingInfoPlist},
        RefusalCase{"GroupWritableCopy",
                    [](PeerIdentityTest& fixture) { return fixture.copyOfClient(0775); },
                    IdentityProblem::untrustedExecutable},
        RefusalCase{"WorldWritableCopy",
                    [](PeerIdentityTest& fixture) { return fixture.copyOfClient(0757); },
                    IdentityProblem::untrustedExecutable},
        RefusalCase{"CopyOwnedByNobody",
                    [](PeerIdentityTest& fixture) -> std::string {
                      if (::geteuid() != 0) return {};
                      std::string copy = fixture.copyOfClient(0755);
                      EXPECT_EQ(::chown(copy.c_str(), 65534, 65534), 0);
                      return copy;
                    },
                    IdentityProblem::untrustedExecutable}),
    [](const auto& row) { return row.param.name; });

TEST_F(PeerIdentityTest, RefusesAPeerThatExitedBeforeTheCheck) {
  for (const bool isReaped : {false, true}) {
    const int connection = connect(builtPeer("identity_peer_client"), /*exitsAtOnce=*/true);
    awaitExit(isReaped);
    const auto identity = peerIdentity(connection);
    ASSERT_FALSE(identity.has_value()) << "reaped: " << isReaped;
    EXPECT_EQ(identity.error().problem, IdentityProblem::peerGone)
        << identity.error().cause.message();
    EXPECT_FALSE(LinuxPeerVerifier().satisfies(connection, clientRequirement));
  }
}

}  // namespace
}  // namespace kelmarind::platform::linux
