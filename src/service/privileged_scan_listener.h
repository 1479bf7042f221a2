// The helper's one listener object: it decides which connections to accept,
// and it is the object every accepted connection exports.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/connection.h"
#include "platform/file_location.h"
#include "platform/listener.h"
#include "service/privileged_scan_protocol.h"
#include "service/reply_budget.h"

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
// The most of a refused path its log line carries; a longer one is cut there
// and ends in "…". A request may be 64 KiB, and refusals come as fast as a
// client can ask.
inline constexpr std::size_t maxLoggedPathSize = 4096;
inline constexpr std::string_view refusalText = "Kelmarind's helper does not read this location.";
inline constexpr std::string_view pingText = "ok";
// What all documents in flight may take at once, as sized before they are
// written (the size is a bound: names are counted as if every byte needed
// the longest escape). A quarter of what the service unit lets the helper
// use (MemoryMax=2G): the rest is for the walks' trees. /usr's document
// (25 MB) is bounded at about 78 MB.
inline constexpr std::size_t replyBudgetSize = std::size_t{512} << 20;

// The text of a walk whose document would not fit `capacity` even alone.
[[nodiscard]] std::string oversizedDocumentText(std::size_t size, std::size_t capacity);

// The signing team of this program, or nothing when it has none or the
// lookup fails.
[[nodiscard]] std::optional<std::string> helperTeamIdentifier(
    const platform::CodeSignature& signature);

// The requirement every client must meet: the client's identifier alone when
// `teamIdentifier` is absent or empty, else also an anchor and a leaf
// certificate of that team. The team is inserted as it is, unescaped.
[[nodiscard]] std::string makeCodeSigningRequirement(
    const std::optional<std::string>& teamIdentifier);

// `path` as the refusal line shows it: whole up to maxLoggedPathSize bytes,
// else its first bytes up to a character boundary and "…".
[[nodiscard]] std::string loggedPath(std::string_view path);

// Built once at start, on the main thread, before the listener is resumed;
// afterwards its fields are only read, so connections on any thread may use
// it concurrently without a lock. The dependencies are not owned and must
// outlive it.
class PrivilegedScanListener final : public platform::ListenerDelegate,
                                     public platform::ExportedObject,
                                     public PrivilegedScanProtocol {
 public:
  // Collects the home directories from `users`, asks `signature` for the
  // team, builds and compiles the requirement, and writes the fault and the
  // error line through `logger` when they apply.
  // Documents wait for `replyCapacity` bytes to be free (see ReplyBudget).
  PrivilegedScanListener(platform::Logger& logger, platform::UserDatabase& users,
                         const platform::CodeSignature& signature,
                         const platform::FileSystem& fileSystem,
                         std::size_t replyCapacity = replyBudgetSize);

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
                         std::size_t replyCapacity, Setup setup);

  platform::Logger& logger_;
  const platform::FileSystem& fileSystem_;
  ReplyBudget replyBudget_;
};

}  // namespace kelmarind::service
