#include "service/privileged_scan_protocol.h"

#include <utility>

namespace kelmarind::service {

using platform::wire::Reply;
using platform::wire::ValueType;

void WalkReply::succeed(std::string document) && {
  std::move(sender_).send(Reply{std::move(document), std::nullopt});
}

void WalkReply::fail(std::string text) && {
  std::move(sender_).send(Reply{std::nullopt, std::move(text)});
}

void PingReply::send(std::string_view text) && { std::move(sender_).send(Reply::ofText(text)); }

platform::ExportedInterface interfaceWithProtocol() {
  using platform::ExportedMethod;
  using platform::ReplyType;
  return {{
      ExportedMethod{std::string(platform::wire::walkSubtreeAtPathSelector),
                     {ValueType::text},
                     ReplyType::bytesAndText},
      ExportedMethod{std::string(platform::wire::pingWithReplySelector), {}, ReplyType::text},
  }};
}

void dispatch(PrivilegedScanProtocol& protocol, const platform::wire::Request& request,
              platform::ReplySender reply) {
  if (request.selector == platform::wire::walkSubtreeAtPathSelector) {
    const platform::wire::Value& argument = request.arguments.at(0);
    std::optional<std::string_view> path;
    if (argument.type != ValueType::nil) path = argument.content;
    protocol.walkSubtreeAtPath(path, WalkReply(std::move(reply)));
  } else if (request.selector == platform::wire::pingWithReplySelector) {
    protocol.pingWithReply(PingReply(std::move(reply)));
  }
}

}  // namespace kelmarind::service
