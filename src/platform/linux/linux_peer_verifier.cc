#include "platform/linux/linux_peer_verifier.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

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

// What `read` read (an identity, or what `identityOf` finds one in) when the
// identity satisfies `requirement`. Compiled first: a requirement that cannot
// hold needs no look at the peer. Each attempt reads the identity afresh from
// the kernel, so waiting cannot let a different process stand in for the
// peer.
template <typename Read, typename IdentityOf = std::identity>
auto satisfying(std::string_view requirement, Read read, IdentityOf identityOf = {})
    -> std::optional<typename std::invoke_result_t<Read>::value_type> {
  const auto compiled = CodeRequirement::compile(requirement);
  if (!compiled) return std::nullopt;
  for (int attempt = 1;; ++attempt) {
    auto found = read();
    if (found) {
      if (!compiled->isSatisfiedBy(std::invoke(identityOf, *found))) return std::nullopt;
      return std::move(*found);
    }
    if (!isShortage(found.error()) || attempt == shortageAttemptLimit) return std::nullopt;
    std::this_thread::sleep_for(shortageRetryDelay);
  }
}

}  // namespace

std::optional<PinnedProcess> LinuxPeerVerifier::satisfyingPeer(int connectedSocket,
                                                               std::string_view requirement) const {
  auto peer = satisfying(
      requirement, [&] { return peerIdentity(connectedSocket); }, &IdentifiedPeer::identity);
  if (!peer) return std::nullopt;
  return std::move(peer->process);
}

bool LinuxPeerVerifier::senderSatisfies(int pid, int pidfd, std::string_view requirement) const {
  return satisfying(requirement,
                    [&]() -> std::expected<CodeIdentity, IdentityError> {
                      if (pidfd >= 0) return processIdentity(pid, pidfd);
                      auto pinned = pinProcess(pid);
                      if (!pinned) return std::unexpected(pinned.error());
                      return processIdentity(pid, pinned->get());
                    })
      .has_value();
}

}  // namespace kelmarind::platform::linux
