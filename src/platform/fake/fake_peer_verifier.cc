#include "platform/fake/fake_peer_verifier.h"

#include <utility>

namespace kelmarind::platform::fake {

bool FakePeerVerifier::answer(std::string_view requirement) const {
  std::lock_guard lock(mutex_);
  asked_.emplace_back(requirement);
  return isSatisfied_;
}

std::optional<linux::PinnedProcess> FakePeerVerifier::satisfyingPeer(
    int connectedSocket, std::string_view requirement) const {
  if (!answer(requirement)) return std::nullopt;
  auto peer = linux::connectingProcess(connectedSocket);
  if (!peer) return std::nullopt;
  return std::move(*peer);
}

bool FakePeerVerifier::senderSatisfies(int /*pid*/, int /*pidfd*/,
                                       std::string_view requirement) const {
  return answer(requirement);
}

std::vector<std::string> FakePeerVerifier::askedRequirements() const {
  std::lock_guard lock(mutex_);
  return asked_;
}

}  // namespace kelmarind::platform::fake
