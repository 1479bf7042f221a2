// The helper's one listener object: it decides which connections to accept,
// and it is the object every accepted connection exports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/connection.h"
#include "platform/file_location.h"
#include "platform/listener.h"
#include "service/privileged_scan_protocol.h"

namespace kelmarind::platform {
class CodeSignature;
class FileSystem;
class Logger;
class UserDatabase;
}  // namespace kelmarind::platform

namespace kelmarind::service {

// The client application every connection must be.
inline constexpr std::string_view clientBundleIdentifier = "com.kelmarind.app";

inline constexpr std::string_view requirementCompileFault =
    "Code-signing requirement failed to compile; refusing all connections: %{public}s";
inline constexpr std::string_view notTeamSignedError =
    "Helper is not team-signed (ad-hoc or development signature). Client validation falls back "
    "to the bundle identifier alone, which is weaker than a shipping build's. A release build "
    "must be Developer ID-signed.";
inline constexpr std::string_view refusedPathLine = "Refused ineligible path: %{public}s";
inline constexpr std::string_view refusalText = "Kelmarind's helper does not read this location.";
inline constexpr std::string_view pingText = "ok";

// The signing team of this program, or nothing when it has none or the
// lookup fails.
[[nodiscard]] std::optional<std::string> helperTeamIdentifier(
    const platform::CodeSignature& signature);

// The requirement every client must meet: the client's identifier alone when
// `teamIdentifier` is absent or empty, else also an anchor and a leaf
// certificate of that team. The team is inserted as it is, unescaped.
[[nodiscard]] std::string makeCodeSigningRequirement(
    const std::optional<std::string>& teamIdentifier);

// Built once at start, on the main thread, before the listener is resumed;
// afterwards its fields are only read, so connections on any thread may use
// it concurrently without a lock. The dependencies are not owned and must
// outlive it.
class PrivilegedScanListener final : public platform::ListenerDelegate,
                                     public platform::ExportedObject,
                                     public PrivilegedScanProtocol {
 public:
  // Collects the home directories from `users`, asks `signature` for the
  // team, builds the requirement and asks `signature` whether it compiles,
  // and writes the fault and the error line through `logger` when they apply.
  PrivilegedScanListener(platform::Logger& logger, platform::UserDatabase& users,
                         const platform::CodeSignature& signature,
                         const platform::FileSystem& fileSystem);

  PrivilegedScanListener(const PrivilegedScanListener&) = delete;
  PrivilegedScanListener& operator=(const PrivilegedScanListener&) = delete;

  [[nodiscard]] bool shouldAcceptNewConnection(platform::Connection& newConnection) override;
  void invoke(const protocol::Request& request, platform::ReplySender reply) override;

  void walkSubtreeAtPath(std::optional<std::string_view> path, WalkReply reply) override;
  void pingWithReply(PingReply reply) override;

  const std::vector<platform::FileLocation> homeDirectories;
  const std::string codeSigningRequirement;
  const bool isRequirementValid;

 private:
  struct Setup;
  PrivilegedScanListener(platform::Logger& logger, const platform::FileSystem& fileSystem,
                         Setup setup);

  platform::Logger& logger_;
  const platform::FileSystem& fileSystem_;
};

}  // namespace kelmarind::service
