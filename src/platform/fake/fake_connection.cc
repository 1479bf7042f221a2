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
  const ExportedMethod* method = interface_.match(request);
  if (method == nullptr) return std::nullopt;
  reply_.reset();
  replyOnce(*object_, *method, request, *this);
  return std::exchange(reply_, std::nullopt);
}

void FakeConnection::deliver(protocol::Reply reply) { reply_ = std::move(reply); }

}  // namespace kelmarind::platform::fake
