#include "service/privileged_scan_protocol.h"

#include <utility>

namespace kelmarind::service {

using protocol::Reply;
using protocol::ValueType;

void WalkReply::succeed(std::unique_ptr<platform::ReplyBytes> document) && {
  std::move(sender_).sendWritten(std::move(document), std::nullopt);
}

void WalkReply::fail(std::string text) && {
  std::move(sender_).send(Reply{std::nullopt, std::move(text)});
}

void PingReply::send(std::string_view text) && { std::move(sender_).send(Reply::ofText(text)); }

platform::ExportedInterface interfaceWithProtocol() {
  using platform::ExportedMethod;
  using platform::ReplyType;
  return {{
      ExportedMethod{std::string(protocol::walkSubtreeAtPathSelector),
                     {ValueType::text},
                     ReplyType::bytesAndText},
      ExportedMethod{std::string(protocol::pingWithReplySelector), {}, ReplyType::text},
  }};
}

void dispatch(PrivilegedScanProtocol& protocol, const protocol::Request& request,
              platform::ReplySender reply) {
  if (request.selector == protocol::walkSubtreeAtPathSelector) {
    const protocol::Value& argument = request.arguments.at(0);
    std::optional<std::string_view> path;
    if (argument.type != ValueType::nil) path = argument.content;
    protocol.walkSubtreeAtPath(path, WalkReply(std::move(reply)));
  } else if (request.selector == protocol::pingWithReplySelector) {
    protocol.pingWithReply(PingReply(std::move(reply)));
  }
}

}  // namespace kelmarind::service
