// The connection guard's question: does the process at the other end of a
// connection satisfy a code requirement? The transport asks it once per
// connection, before reading any message; the answer is final.
#pragma once

#include <string_view>

namespace kelmarind::platform::linux {

class PeerVerifier {
 public:
  virtual ~PeerVerifier() = default;

  // True only when the peer of `connectedSocket` (a connected Unix stream
  // socket; the identity is the one the kernel recorded when the peer
  // connected) satisfies `requirement`, a text of the requirement language.
  // Every error (peer gone, identity unreadable, requirement that does not
  // compile) answers false. Thread-safe: called concurrently from connection
  // threads. Does not take ownership of the socket.
  [[nodiscard]] virtual bool satisfies(int connectedSocket, std::string_view requirement) const = 0;

  // The same question about the process that wrote a message: `pid` as the
  // kernel recorded it with the bytes, `pidfd` the pidfd it passed along, or
  // -1 where the kernel passes none. Asked when a message comes from a
  // process other than the one already found to satisfy the requirement.
  [[nodiscard]] virtual bool senderSatisfies(int pid, int pidfd,
                                             std::string_view requirement) const = 0;
};

}  // namespace kelmarind::platform::linux
