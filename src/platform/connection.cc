#include "platform/connection.h"

#include <algorithm>
#include <utility>

namespace kelmarind::platform {
namespace {

bool accepts(protocol::ValueType declared, protocol::ValueType actual) {
  return actual == declared || actual == protocol::ValueType::nil;
}

// Stands between the object's sender and the connection: lets the first reply
// through, reshaped when the method does not admit it, and drops the rest.
class FirstReply final : public ReplyChannel {
 public:
  FirstReply(const ExportedMethod& method, ReplyChannel& channel)
      : method_(method), channel_(channel) {}

  void deliver(protocol::Reply reply) override {
    if (std::exchange(isDelivered_, true)) return;
    if (!method_.admits(reply)) reply = protocol::Reply::ofText(ReplySender::mismatchedReplyText);
    channel_.deliver(std::move(reply));
  }
  std::unique_ptr<ReplyBytes> makeBytes() override { return channel_.makeBytes(); }
  void deliverWritten(std::unique_ptr<ReplyBytes> bytes, std::optional<std::string> text) override {
    if (std::exchange(isDelivered_, true)) return;
    if (method_.replyType != ReplyType::bytesAndText) {
      return channel_.deliver(protocol::Reply::ofText(ReplySender::mismatchedReplyText));
    }
    channel_.deliverWritten(std::move(bytes), std::move(text));
  }
  [[nodiscard]] bool isDelivered() const { return isDelivered_; }

 private:
  const ExportedMethod& method_;
  ReplyChannel& channel_;
  bool isDelivered_ = false;
};

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

std::unique_ptr<ReplyBytes> ReplyChannel::makeBytes() {
  return std::make_unique<ReplyBytesInMemory>();
}

void ReplyChannel::deliverWritten(std::unique_ptr<ReplyBytes> bytes,
                                  std::optional<std::string> text) {
  auto* inMemory = dynamic_cast<ReplyBytesInMemory*>(bytes.get());
  if (inMemory == nullptr) {
    return deliver(protocol::Reply::ofText(ReplySender::mismatchedReplyText));
  }
  deliver(protocol::Reply{std::move(*inMemory).take(), std::move(text)});
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

std::unique_ptr<ReplyBytes> ReplySender::makeBytes() const {
  if (channel_ == nullptr) return std::make_unique<ReplyBytesInMemory>();
  return channel_->makeBytes();
}

void ReplySender::sendWritten(std::unique_ptr<ReplyBytes> bytes,
                              std::optional<std::string> text) && {
  ReplyChannel* channel = std::exchange(channel_, nullptr);
  if (channel != nullptr) channel->deliverWritten(std::move(bytes), std::move(text));
}

void replyOnce(ExportedObject& object, const ExportedMethod& method,
               const protocol::Request& request, ReplyChannel& channel) {
  FirstReply first(method, channel);
  object.invoke(request, ReplySender(first));
  // The sender is gone by now; only an object that kept it breaks this.
  if (!first.isDelivered()) first.deliver(protocol::Reply::ofText(ReplySender::unansweredText));
}

}  // namespace kelmarind::platform
