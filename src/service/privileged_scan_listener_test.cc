#include "service/privileged_scan_listener.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_code_signature.h"
#include "platform/fake/fake_connection.h"
#include "platform/fake/fake_file_system.h"
#include "platform/fake/recording_logger.h"
#include "platform/user_database.h"
#include "policy/home_directories.h"
#include "walk/node_json.h"

namespace kelmarind::service {
namespace {

using platform::LogLevel;
using platform::fake::LogRecord;
using protocol::Reply;
using protocol::Request;
using protocol::Value;
using protocol::ValueType;

constexpr std::string_view teamPiece = "identifier \"com.kelmarind.app\" and anchor apple generic";
constexpr std::string_view certificatePiece = " and certificate leaf[subject.OU] = \"";
constexpr std::string_view fallbackRequirement = "identifier \"com.kelmarind.app\"";

// Serves the listed homes; notes whether the team was looked up before the
// database was read, which construction must not do.
class FakeUserDatabase final : public platform::UserDatabase {
 public:
  FakeUserDatabase(std::vector<std::string> homes, const platform::fake::FakeCodeSignature& team)
      : homes_(std::move(homes)), team_(team) {}
  void rewind() override {
    next_ = 0;
    wasTeamAskedFirst = team_.lookupCount() > 0;
  }
  std::optional<platform::UserEntry> next() override {
    if (next_ == homes_.size()) return std::nullopt;
    return platform::UserEntry{homes_[next_++]};
  }
  void close() override {}
  bool wasTeamAskedFirst = false;

 private:
  std::vector<std::string> homes_;
  const platform::fake::FakeCodeSignature& team_;
  std::size_t next_ = 0;
};

class PrivilegedScanListenerTest : public ::testing::Test {
 protected:
  PrivilegedScanListener& build(std::optional<std::string> team, bool isRequirementValid = true) {
    signature_ =
        std::make_unique<platform::fake::FakeCodeSignature>(std::move(team), isRequirementValid);
    users_ = std::make_unique<FakeUserDatabase>(
        std::vector<std::string>{"/Users/user1", "/home/other"}, *signature_);
    listener_ =
        std::make_unique<PrivilegedScanListener>(logger_, *users_, *signature_, fileSystem_);
    return *listener_;
  }

  // The reply of the listener built before; an empty one when none came.
  Reply walk(std::optional<std::string> path) {
    platform::fake::FakeConnection connection;
    EXPECT_TRUE(listener_->shouldAcceptNewConnection(connection));
    Value argument{ValueType::nil, {}};
    if (path) argument = Value{ValueType::text, *path};
    return connection.send(Request{"walkSubtreeAtPath:reply:", {argument}}).value_or(Reply{});
  }

  std::vector<LogRecord> logged() const { return logger_.records(); }

  platform::fake::RecordingLogger logger_{"com.kelmarind.helper", "xpc"};
  platform::fake::FakeFileSystem fileSystem_;
  std::unique_ptr<platform::fake::FakeCodeSignature> signature_;
  std::unique_ptr<FakeUserDatabase> users_;
  std::unique_ptr<PrivilegedScanListener> listener_;
};

TEST(RequirementTextTest, HasTheTeamFormOnlyForANonEmptyTeam) {
  EXPECT_EQ(makeCodeSigningRequirement("ABCDE12345"),
            std::string(teamPiece) + std::string(certificatePiece) + "ABCDE12345\"");
  EXPECT_EQ(makeCodeSigningRequirement(std::nullopt), fallbackRequirement);
  EXPECT_EQ(makeCodeSigningRequirement(""), fallbackRequirement);
}

TEST_F(PrivilegedScanListenerTest, WithoutTeamLogsTheErrorOnceAndAcceptsTheClient) {
  PrivilegedScanListener& listener = build(std::nullopt);
  EXPECT_FALSE(users_->wasTeamAskedFirst);
  EXPECT_EQ(listener.codeSigningRequirement, fallbackRequirement);
  EXPECT_TRUE(listener.isRequirementValid);
  ASSERT_EQ(logged().size(), 1u);
  EXPECT_EQ(logged()[0].level, LogLevel::error);
  EXPECT_EQ(logged()[0].message, notTeamSignedError);

  platform::fake::FakeConnection first;
  platform::fake::FakeConnection second;
  ASSERT_TRUE(listener.shouldAcceptNewConnection(first));
  ASSERT_TRUE(listener.shouldAcceptNewConnection(second));
  for (const auto* connection : {&first, &second}) {
    EXPECT_EQ(connection->codeSigningRequirement(), fallbackRequirement);
    EXPECT_EQ(connection->exportedObject(), &listener);
    EXPECT_TRUE(connection->isResumed());
    EXPECT_EQ(connection->lateConfigurationCount(), 0);
    ASSERT_EQ(connection->exportedInterface().methods.size(), 2u);
  }
  EXPECT_EQ(first.send(Request{"pingWithReply:", {}}), Reply::ofText("ok"));
}

TEST_F(PrivilegedScanListenerTest, EmptyTeamFallsBackSilently) {
  EXPECT_EQ(build("").codeSigningRequirement, fallbackRequirement);
  EXPECT_TRUE(logged().empty());
}

TEST_F(PrivilegedScanListenerTest,
       InvalidRequirementLogsTheFaultAndRefusesEveryConnectionUntouched) {
  PrivilegedScanListener& listener = build("AB\"CD", /*isRequirementValid=*/false);
  EXPECT_FALSE(listener.isRequirementValid);
  EXPECT_EQ(signature_->judgedRequirement(), listener.codeSigningRequirement);
  ASSERT_EQ(logged().size(), 1u) << "a team was found, so no error line";
  EXPECT_EQ(logged()[0].level, LogLevel::fault);
  EXPECT_EQ(logged()[0].message,
            "Code-signing requirement failed to compile; refusing all connections: " +
                listener.codeSigningRequirement);

  platform::fake::FakeConnection connection;
  EXPECT_FALSE(listener.shouldAcceptNewConnection(connection));
  EXPECT_FALSE(connection.isResumed());
  EXPECT_FALSE(connection.codeSigningRequirement().has_value());
  EXPECT_EQ(connection.exportedObject(), nullptr);
}

TEST_F(PrivilegedScanListenerTest, WalksEligiblePathsIntoOneDocumentOrTheWalkErrorUnlogged) {
  build("TEAM123");
  fileSystem_.addDirectory("/data");
  fileSystem_.addFile("/data/file", 8192);

  EXPECT_EQ(walk("/data/../none"), Reply::ofText("Not readable even as root: /data/../none"));

  const Reply found = walk("/data/./");
  EXPECT_EQ(found.text, std::nullopt);
  const auto root = walk::decodeDocument(found.bytes.value_or(""));
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(root->path, "/data");
  EXPECT_EQ(root->allocatedSize, 8192);
  EXPECT_EQ(root->fileCount, 1);
  EXPECT_TRUE(logged().empty());
}

}  // namespace
}  // namespace kelmarind::service
