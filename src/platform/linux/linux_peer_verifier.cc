#include "platform/linux/linux_peer_verifier.h"

#include "platform/code_requirement.h"
#include "platform/linux/peer_identity.h"

namespace kelmarind::platform::linux {

bool LinuxPeerVerifier::satisfies(int connectedSocket, std::string_view requirement) const {
  // Compiled first: a requirement that cannot hold needs no look at the peer.
  const auto compiled = CodeRequirement::compile(requirement);
  if (!compiled) return false;
  const auto identity = peerIdentity(connectedSocket);
  return identity && compiled->isSatisfiedBy(*identity);
}

}  // namespace kelmarind::platform::linux
