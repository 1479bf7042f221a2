// The helper's endpoint on Linux: a listening Unix stream socket that asks its
// delegate about every new connection and serves each accepted one on a
// thread of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/peer_verifier.h"
#include "platform/listener.h"
#include "platform/os_error.h"
#include "platform/unique_fd.h"
#include "protocol/wire_protocol.h"

namespace kelmarind::platform::linux {

class UnixConnection;

// Accepts on a thread of its own; each accepted and resumed connection gets a
// thread that first asks the verifier about the peer (when a requirement is
// set), then reads the connection's messages one at a time, delivers each to
// the exported object and sends its one reply. With a requirement, each
// message is judged by the process that wrote it: one written by any other
// process than the one found to satisfy the requirement is judged afresh.
// While `maxLiveConnections` are being served, or fewer when the process's
// descriptor limit leaves room for fewer, no connection is accepted; new ones
// wait in the backlog. A user other than root with
// `maxConnectionsPerUser` live connections has any further one closed unread.
// A malformed frame, an unknown selector, a wrong argument type, a message
// from a process that fails the requirement, a request not complete within
// `idleLimit` of the previous reply (or of the connection), or a reply that
// makes no progress for `stallLimit` closes only its own connection, silently.
// Neither copyable nor movable; the delegate, the verifier and every exported
// object must outlive it.
class UnixListener final : public Listener {
 public:
  struct Options {
    std::string socketPath{protocol::defaultSocketPath};
    std::size_t maxLiveConnections = 64;
    std::size_t maxConnectionsPerUser = 8;
    std::chrono::milliseconds idleLimit = std::chrono::seconds(30);
    std::chrono::milliseconds stallLimit = std::chrono::seconds(30);
  };

  // Takes the socket-activated socket for `options.socketPath` or binds the
  // path itself (see openListeningSocket). Nothing is accepted before resume().
  [[nodiscard]] static std::expected<std::unique_ptr<UnixListener>, OsError> open(
      const PeerVerifier& verifier, Options options);
  [[nodiscard]] static std::expected<std::unique_ptr<UnixListener>, OsError> open(
      const PeerVerifier& verifier);

  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;
  // Stops accepting, shuts down live connections and waits for their threads
  // (and for any request still running on them) to end. The helper itself
  // never destroys its listener; tests do.
  ~UnixListener() override;

  void setDelegate(ListenerDelegate& delegate) override;
  void resume() override;

  // Connections whose threads have not ended yet. Thread-safe.
  [[nodiscard]] std::size_t liveConnectionCount() const;

 private:
  UnixListener(const PeerVerifier& verifier, Options options, UniqueFd socket);
  void acceptLoop();
  [[nodiscard]] bool isStopping() const;
  [[nodiscard]] bool admitsUser(uid_t user) const;
  void start(std::unique_ptr<UnixConnection> connection);
  void finish(std::unique_ptr<UnixConnection> connection);

  const PeerVerifier& verifier_;
  const Options options_;
  const std::size_t liveLimit_;  // options_.maxLiveConnections, or what the descriptors allow
  const UniqueFd socket_;
  ListenerDelegate* delegate_ = nullptr;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool isStopping_ = false;
  std::size_t liveCount_ = 0;
  std::set<int> liveSockets_;
  std::map<uid_t, std::size_t> liveCountByUser_;
};

}  // namespace kelmarind::platform::linux
