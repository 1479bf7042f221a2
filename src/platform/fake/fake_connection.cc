#include "platform/fake/fake_connection.h"

#include <utility>

namespace kelmarind::platform::fake {

void FakeConnection::noteConfiguration() {
  if (isResumed_) ++lateConfigurationCount_;
}

void FakeConnection::setCodeSigningRequirement(std::string requirement) {
  noteConfiguration();
  requirement_ = std::move(requirement);
}

void FakeConnection::setExportedInterface(ExportedInterface interface) {
  noteConfiguration();
  interface_ = std::move(interface);
}

void FakeConnection::setExportedObject(ExportedObject& object) {
  noteConfiguration();
  object_ = &object;
}

void FakeConnection::resume() { isResumed_ = true; }

std::optional<protocol::Reply> FakeConnection::send(const protocol::Request& request) {
  if (!isResumed_ || object_ == nullptr) return std::nullopt;
  current_ = interface_.match(request);
  if (current_ == nullptr) return std::nullopt;
  reply_.reset();
  object_->invoke(request, ReplySender(*this));
  if (!reply_) deliver(protocol::Reply::ofText(ReplySender::unansweredText));
  return std::exchange(reply_, std::nullopt);
}

void FakeConnection::deliver(protocol::Reply reply) {
  if (reply_) return;
  if (!current_->admits(reply)) reply = protocol::Reply::ofText(ReplySender::mismatchedReplyText);
  reply_ = std::move(reply);
}

}  // namespace kelmarind::platform::fake
