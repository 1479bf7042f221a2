// The connection guard's question: does the process at the other end of a
// connection satisfy a code requirement? The transport asks it once per
// connection, before reading any message; the answer is final.
#pragma once

#include <optional>
#include <string_view>

#include "platform/linux/peer_identity.h"

namespace kelmarind::platform::linux {

class PeerVerifier {
 public:
  virtual ~PeerVerifier() = default;

  // The peer of `connectedSocket` (a connected Unix stream socket; the
  // process the kernel recorded when the peer connected), pinned, when it
  // satisfies `requirement`, a text of the requirement language. It is the
  // very process that was judged: the caller needs no second look at the
  // socket, which could fail where the first had succeeded. Every error
  // (peer gone, identity unreadable, requirement that does not compile)
  // answers none. Thread-safe: called concurrently from connection threads.
  // Does not take ownership of the socket.
  [[nodiscard]] virtual std::optional<PinnedProcess> satisfyingPeer(
      int connectedSocket, std::string_view requirement) const = 0;

  // The same question about the process that wrote a message: `pid` as the
  // kernel recorded it with the bytes, `pidfd` the pidfd it passed along, or
  // -1 where the kernel passes none. Asked when a message comes from a
  // process other than the one already found to satisfy the requirement.
  [[nodiscard]] virtual bool senderSatisfies(int pid, int pidfd,
                                             std::string_view requirement) const = 0;
};

}  // namespace kelmarind::platform::linux
