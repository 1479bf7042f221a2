#include "service/privileged_scan_listener.h"

#include <expected>
#include <utility>
#include <variant>

#include "platform/code_signature.h"
#include "platform/logger.h"
#include "platform/user_database.h"
#include "policy/home_directories.h"
#include "policy/path_eligibility.h"
#include "walk/privileged_walk.h"
#include "walk/walk_document.h"

namespace kelmarind::service {

std::optional<std::string> helperTeamIdentifier(const platform::CodeSignature& signature) {
  return signature.teamIdentifier();
}

std::string makeCodeSigningRequirement(const std::optional<std::string>& teamIdentifier) {
  std::string requirement = "identifier \"";
  requirement += clientBundleIdentifier;
  requirement += '"';
  if (!teamIdentifier || teamIdentifier->empty()) return requirement;
  requirement += " and anchor apple generic and certificate leaf[subject.OU] = \"";
  requirement += *teamIdentifier;
  requirement += '"';
  return requirement;
}

std::string loggedPath(std::string_view path) {
  if (path.size() <= maxLoggedPathSize) return std::string(path);
  std::size_t end = maxLoggedPathSize;
  // Requests are UTF-8; a cut inside a character would leave the journal a
  // broken one.
  while (end > 0 && (static_cast<unsigned char>(path[end]) & 0xc0) == 0x80) --end;
  return std::string(path.substr(0, end)) + "\u2026";
}

// What construction computes before the fields are set, in the order it must
// happen: the home directories first, then the team.
struct PrivilegedScanListener::Setup {
  std::vector<platform::FileLocation> homeDirectories;
  std::optional<std::string> teamIdentifier;
  std::string requirement;
  bool isRequirementValid = false;
};

PrivilegedScanListener::PrivilegedScanListener(platform::Logger& logger,
                                               platform::UserDatabase& users,
                                               const platform::CodeSignature& signature,
                                               const platform::FileSystem& fileSystem,
                                               std::size_t replyCapacity)
    : PrivilegedScanListener(logger, fileSystem, replyCapacity, [&] {
        Setup setup;
        setup.homeDirectories =
            policy::withReachedLocations(policy::collectHomeDirectories(users), fileSystem);
        setup.teamIdentifier = helperTeamIdentifier(signature);
        setup.requirement = makeCodeSigningRequirement(setup.teamIdentifier);
        // Only the validity is kept: each connection is given the text.
        setup.isRequirementValid = signature.isValidRequirement(setup.requirement);
        return setup;
      }()) {}

PrivilegedScanListener::PrivilegedScanListener(platform::Logger& logger,
                                               const platform::FileSystem& fileSystem,
                                               std::size_t replyCapacity, Setup setup)
    : homeDirectories(std::move(setup.homeDirectories)),
      codeSigningRequirement(std::move(setup.requirement)),
      isRequirementValid(setup.isRequirementValid),
      logger_(logger),
      fileSystem_(fileSystem),
      replyBudget_(replyCapacity) {
  if (!isRequirementValid) {
    logger_.write(platform::LogLevel::fault, requirementCompileFault, {codeSigningRequirement});
  }
  if (!setup.teamIdentifier) logger_.write(platform::LogLevel::error, notTeamSignedError);
}

bool PrivilegedScanListener::shouldAcceptNewConnection(platform::Connection& newConnection) {
  if (!isRequirementValid) return false;
  // The requirement is bound before the connection is resumed, so no message
  // can arrive before it is in force.
  newConnection.setCodeSigningRequirement(codeSigningRequirement);
  newConnection.setExportedInterface(interfaceWithProtocol());
  newConnection.setExportedObject(*this);
  newConnection.resume();
  return true;
}

void PrivilegedScanListener::invoke(const protocol::Request& request, platform::ReplySender reply) {
  dispatch(*this, request, std::move(reply));
}

namespace {

// The text a walk request that has no document is answered with.
struct ReplyText {
  std::string operator()(const walk::PrivilegedWalk::WalkError& error) const {
    return error.description();
  }
  std::string operator()(const walk::OversizedDocument& refused) const {
    return oversizedDocumentText(refused.size, refused.capacity);
  }
  std::string operator()(const walk::EncodeError& error) const { return error.description(); }
  std::string operator()(const platform::OsError& error) const {
    return "The helper's reply could not be written: " + error.message();
  }
};

}  // namespace

void PrivilegedScanListener::walkSubtreeAtPath(std::optional<std::string_view> path,
                                               WalkReply reply) {
  const std::string_view requested = path.value_or(std::string_view{});
  const auto refuse = [&] {
    logger_.write(platform::LogLevel::notice, refusedPathLine, {loggedPath(requested)});
    std::move(reply).fail(std::string(refusalText));
  };
  if (!policy::isEligiblePath(requested, homeDirectories)) return refuse();
  // Judged again on what the text reached: a link on the way may lead
  // somewhere the text does not name. What is walked is what was judged.
  auto root = walk::PrivilegedWalk::resolveRoot(requested, fileSystem_);
  if (!root) return std::move(reply).fail(root.error().description());
  if (!policy::isEligiblePath((*root)->reachedPath(), homeDirectories)) return refuse();
  // Held until the reply has been sent: a document is in flight until then.
  std::optional<ReplyBudget::Reservation> reservation;
  const auto admit = [&](std::size_t size) -> std::expected<void, walk::OversizedDocument> {
    auto reserved = replyBudget_.reserve(size);
    if (!reserved) return std::unexpected(walk::OversizedDocument{size, reserved.error()});
    reservation.emplace(std::move(*reserved));
    return {};
  };
  // The document goes where it will travel as it is encoded: into the
  // memory file the client is given, once it outgrows a frame.
  auto document = reply.documentBytes();
  auto written = walk::walkAndWrite(
      **root, requested, [&](std::string_view chunk) { return document->write(chunk); }, admit);
  if (!written) return std::move(reply).fail(std::visit(ReplyText{}, written.error()));
  // The walk's tree is given back as `written` goes, after the answer.
  std::move(reply).succeed(std::move(document));
}

std::string oversizedDocumentText(std::size_t size, std::size_t capacity) {
  constexpr std::size_t mebibyte = std::size_t{1} << 20;
  return "The helper's reply is too large to send: this tree's document would take up to " +
         std::to_string((size + mebibyte - 1) / mebibyte) + " MiB, more than the " +
         std::to_string(capacity / mebibyte) + " MiB the helper keeps for replies.";
}

void PrivilegedScanListener::pingWithReply(PingReply reply) { std::move(reply).send(pingText); }

}  // namespace kelmarind::service
