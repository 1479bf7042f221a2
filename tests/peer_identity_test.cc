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
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/linux_peer_verifier.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::platform::linux {
namespace {

constexpr std::string_view clientRequirement = R"(identifier "com.kelmarind.app")";
const std::string clientPeer = KELMARIND_BIN_DIR "/identity_peer_client";

class PeerIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strcpy(address.sun_path, socketPath_.c_str());
    ASSERT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(::listen(listener_.get(), 8), 0);
  }

  void TearDown() override {
    connections_.clear();  // the peers read end-of-file and leave
    for (const pid_t pid : children_) ::waitpid(pid, nullptr, 0);
  }

  // Starts `executable`, which connects to our socket; returns our end.
  int connect(const std::string& executable, bool exitsAtOnce = false) {
    std::string exitWord = "exit";
    char* argv[] = {const_cast<char*>(executable.c_str()), socketPath_.data(),
                    exitsAtOnce ? exitWord.data() : nullptr, nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ), 0);
    children_.push_back(pid);
    connections_.emplace_back(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return connections_.back().get();
  }

  std::string copyOfClient(const std::string& name, mode_t mode) {
    const std::string copy = dir_ / name;
    std::filesystem::copy_file(clientPeer, copy);
    EXPECT_EQ(::chmod(copy.c_str(), mode), 0);
    return copy;
  }

  testing::TempDir dir_;
  std::string socketPath_ = dir_ / "socket";
  UniqueFd listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::vector<UniqueFd> connections_;
  std::vector<pid_t> children_;
};

TEST_F(PeerIdentityTest, AcceptsOnlyTheClientIdentifier) {
  const int client = connect(clientPeer);
  const auto identified = peerIdentity(client);
  ASSERT_TRUE(identified.has_value());
  EXPECT_EQ(identified->identity.identifier, "com.kelmarind.app");
  // What the guard vouches for is the process that connected, pinned.
  const auto pinned =
      LinuxPeerVerifier().satisfyingPeer(client, clientRequirement).transform([](const auto& peer) {
        return isRunning(peer) ? peer.pid : pid_t{0};
      });
  EXPECT_EQ(pinned, std::optional(children_.back()));
  EXPECT_FALSE(LinuxPeerVerifier().satisfyingPeer(
      client, std::string(clientRequirement) + R"( and certificate leaf[subject.OU] = "AB")"));

  const int foreign = connect(KELMARIND_BIN_DIR "/identity_peer_foreign");
  const auto other = peerIdentity(foreign);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->identity.identifier, "com.example.other");
  EXPECT_FALSE(LinuxPeerVerifier().satisfyingPeer(foreign, clientRequirement));
}

TEST_F(PeerIdentityTest, RefusesUntrustedExecutables) {
  const auto expectRefused = [this](const std::string& executable, IdentityProblem problem) {
    const int connection = connect(executable);
    const auto identity = peerIdentity(connection);
    ASSERT_FALSE(identity.has_value()) << executable;
    EXPECT_EQ(identity.error().problem, problem) << executable;
    EXPECT_FALSE(LinuxPeerVerifier().satisfyingPeer(connection, clientRequirement)) << executable;
  };
  expectRefused(KELMARIND_BIN_DIR "/identity_peer_bare", IdentityProblem::missingInfoPlist);
  expectRefused(copyOfClient("group-writable", 0775), IdentityProblem::untrustedExecutable);
  expectRefused(copyOfClient("world-writable", 0757), IdentityProblem::untrustedExecutable);
  if (::geteuid() != 0) GTEST_SKIP() << "giving a copy to another user needs root";
  const std::string copy = copyOfClient("nobody-owned", 0755);
  ASSERT_EQ(::chown(copy.c_str(), 65534, 65534), 0);
  expectRefused(copy, IdentityProblem::untrustedExecutable);
}

TEST_F(PeerIdentityTest, RefusesAPeerThatExitedBeforeTheCheck) {
  for (const bool isReaped : {false, true}) {
    const int connection = connect(clientPeer, /*exitsAtOnce=*/true);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(children_.back()), &info,
                       WEXITED | (isReaped ? 0 : WNOWAIT)),
              0);
    if (isReaped) children_.pop_back();
    const auto identity = peerIdentity(connection);
    ASSERT_FALSE(identity.has_value()) << "reaped: " << isReaped;
    EXPECT_EQ(identity.error().problem, IdentityProblem::peerGone)
        << identity.error().cause.message();
  }
}

}  // namespace
}  // namespace kelmarind::platform::linux
