#include "platform/connection.h"

#include <algorithm>

namespace kelmarind::platform {
namespace {

bool accepts(protocol::ValueType declared, protocol::ValueType actual) {
  return actual == declared || actual == protocol::ValueType::nil;
}

}  // namespace

const ExportedMethod* ExportedInterface::match(const protocol::Request& request) const {
  const auto method = std::ranges::find(methods, request.selector, &ExportedMethod::selector);
  if (method == methods.end()) return nullptr;
  if (method->argumentTypes.size() != request.arguments.size()) return nullptr;
  for (std::size_t i = 0; i < request.arguments.size(); ++i) {
    if (!accepts(method->argumentTypes[i], request.arguments[i].type)) return nullptr;
  }
  return &*method;
}

bool ExportedMethod::admits(const protocol::Reply& reply) const {
  return replyType == ReplyType::bytesAndText || (reply.text.has_value() && !reply.bytes);
}

ReplySender::~ReplySender() {
  if (channel_ != nullptr) channel_->deliver(protocol::Reply::ofText(unansweredText));
}

void ReplySender::send(protocol::Reply reply) && {
  ReplyChannel* channel = std::exchange(channel_, nullptr);
  // A send on a moved-from sender is a programming error; it must not
  // become a second reply.
  if (channel != nullptr) channel->deliver(std::move(reply));
}

}  // namespace kelmarind::platform
