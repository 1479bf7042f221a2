#include "platform/fake/fake_peer_verifier.h"

namespace kelmarind::platform::fake {

bool FakePeerVerifier::satisfies(int /*connectedSocket*/, std::string_view requirement) const {
  std::lock_guard lock(mutex_);
  asked_.emplace_back(requirement);
  return isSatisfied_;
}

bool FakePeerVerifier::senderSatisfies(int /*pid*/, int /*pidfd*/,
                                       std::string_view requirement) const {
  return satisfies(-1, requirement);
}

std::vector<std::string> FakePeerVerifier::askedRequirements() const {
  std::lock_guard lock(mutex_);
  return asked_;
}

}  // namespace kelmarind::platform::fake
