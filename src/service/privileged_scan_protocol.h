// The protocol the helper exports to its client: two operations, their
// argument types and the shape of their replies.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/connection.h"

namespace kelmarind::service {

// The one reply of a walk request: either the document or a text, never both,
// never neither, never twice. Each call consumes the reply
// (`std::move(reply).succeed(...)`), so a second one is a use after move.
// Dropped unanswered, the transport still answers the request once.
class WalkReply final {
 public:
  explicit WalkReply(platform::ReplySender sender) : sender_(std::move(sender)) {}
  // Where the document is written as it is encoded, wherever it will travel.
  [[nodiscard]] std::unique_ptr<platform::ReplyBytes> documentBytes() const {
    return sender_.makeBytes();
  }
  // Sends the document written to `document`, from documentBytes.
  void succeed(std::unique_ptr<platform::ReplyBytes> document) &&;
  void fail(std::string text) &&;

 private:
  platform::ReplySender sender_;
};

// The one reply of a ping: a text.
class PingReply final {
 public:
  explicit PingReply(platform::ReplySender sender) : sender_(std::move(sender)) {}
  void send(std::string_view text) &&;

 private:
  platform::ReplySender sender_;
};

class PrivilegedScanProtocol {
 public:
  virtual ~PrivilegedScanProtocol() = default;
  // Walks the subtree at `path` (nil when the client sent none) and replies
  // with its JSON document or a text saying why not.
  virtual void walkSubtreeAtPath(std::optional<std::string_view> path, WalkReply reply) = 0;
  // Replies "ok".
  virtual void pingWithReply(PingReply reply) = 0;
};

// The exported interface made from the protocol: the two selectors with
// their argument and reply types, in declaration order.
[[nodiscard]] platform::ExportedInterface interfaceWithProtocol();

// Calls the operation of `protocol` that `request` names. `request` must
// match interfaceWithProtocol(), which the connection has checked already.
void dispatch(PrivilegedScanProtocol& protocol, const protocol::Request& request,
              platform::ReplySender reply);

}  // namespace kelmarind::service
