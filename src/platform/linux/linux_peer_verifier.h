// The connection guard on Linux: the peer's identity from the kernel and its
// executable, judged against a code requirement.
#pragma once

#include <string_view>

#include "platform/linux/peer_verifier.h"

namespace kelmarind::platform::linux {

class LinuxPeerVerifier final : public PeerVerifier {
 public:
  // Compiles `requirement`, establishes the peer's identity (peerIdentity)
  // and evaluates one against the other. Any failure answers none, except
  // that while the helper is out of descriptors or memory it waits, up to
  // ten seconds, for some to be freed. Stateless and thread-safe.
  [[nodiscard]] std::optional<PinnedProcess> satisfyingPeer(
      int connectedSocket, std::string_view requirement) const override;
  // Without a pidfd from the kernel the pid is pinned now, after the fact.
  [[nodiscard]] bool senderSatisfies(int pid, int pidfd,
                                     std::string_view requirement) const override;
};

}  // namespace kelmarind::platform::linux
