#include "platform/linux/linux_peer_verifier.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/linux/code_requirement.h"
#include "platform/linux/peer_identity.h"

namespace kelmarind::platform::linux {
namespace {

constexpr auto shortageRetryDelay = std::chrono::milliseconds(20);
constexpr int shortageAttemptLimit = 500;

// Out of descriptors or memory says nothing about the peer, only that the
// helper is busy (walks hold directories open); some are freed as walks and
// connections end. Refusing would turn the client application away for the
// helper's own shortage.
bool isShortage(const IdentityError& error) {
  const int code = error.cause.code;
  return error.problem == IdentityProblem::systemError &&
         (code == EMFILE || code == ENFILE || code == ENOMEM);
}

// Compiled first: a requirement that cannot hold needs no look at the peer.
// Each attempt reads the identity afresh from the kernel, so waiting cannot
// let a different process stand in for the peer.
template <typename ReadIdentity>
bool isSatisfied(std::string_view requirement, ReadIdentity readIdentity) {
  const auto compiled = CodeRequirement::compile(requirement);
  if (!compiled) return false;
  for (int attempt = 1;; ++attempt) {
    const auto identity = readIdentity();
    if (identity) return compiled->isSatisfiedBy(*identity);
    if (!isShortage(identity.error()) || attempt == shortageAttemptLimit) return false;
    std::this_thread::sleep_for(shortageRetryDelay);
  }
}

}  // namespace

bool LinuxPeerVerifier::satisfies(int connectedSocket, std::string_view requirement) const {
  return isSatisfied(requirement, [&] { return peerIdentity(connectedSocket); });
}

bool LinuxPeerVerifier::senderSatisfies(int pid, int pidfd, std::string_view requirement) const {
  return isSatisfied(requirement, [&]() -> std::expected<CodeIdentity, IdentityError> {
    if (pidfd >= 0) return processIdentity(pid, pidfd);
    auto pinned = pinProcess(pid);
    if (!pinned) return std::unexpected(pinned.error());
    return processIdentity(pid, pinned->get());
  });
}

}  // namespace kelmarind::platform::linux
