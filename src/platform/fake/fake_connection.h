// A Connection without a socket: records what the delegate configured and
// delivers requests to the exported object the way a real connection does.
#pragma once

#include <optional>
#include <string>

#include "platform/connection.h"

namespace kelmarind::platform::fake {

// Single-threaded.
class FakeConnection final : public Connection, private ReplyChannel {
 public:
  void setCodeSigningRequirement(std::string requirement) override;
  void setExportedInterface(ExportedInterface interface) override;
  void setExportedObject(ExportedObject& object) override;
  void resume() override;

  [[nodiscard]] const std::optional<std::string>& codeSigningRequirement() const {
    return requirement_;
  }
  [[nodiscard]] const ExportedInterface& exportedInterface() const { return interface_; }
  [[nodiscard]] ExportedObject* exportedObject() const { return object_; }
  [[nodiscard]] bool isResumed() const { return isResumed_; }
  // Configuration calls made after resume(); a delegate must make none.
  [[nodiscard]] int lateConfigurationCount() const { return lateConfigurationCount_; }

  // The one reply to `request`, or nothing when a real connection would be
  // invalidated instead (not resumed, no exported object, or a request that
  // does not match the exported interface).
  [[nodiscard]] std::optional<protocol::Reply> send(const protocol::Request& request);

 private:
  void deliver(protocol::Reply reply) override;
  void noteConfiguration();

  std::optional<std::string> requirement_;
  ExportedInterface interface_;
  ExportedObject* object_ = nullptr;
  bool isResumed_ = false;
  int lateConfigurationCount_ = 0;
  std::optional<protocol::Reply> reply_;
};

}  // namespace kelmarind::platform::fake
