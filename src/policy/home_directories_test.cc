#include "policy/home_directories.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user_database.h"

namespace kelmarind::policy {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

// A user database held in memory that records the calls made on it.
class FakeUserDatabase final : public platform::UserDatabase {
 public:
  explicit FakeUserDatabase(std::vector<std::optional<std::string>> homes,
                            bool isFailingFirstRead = false)
      : homes_(std::move(homes)), isFailingFirstRead_(isFailingFirstRead) {}

  void rewind() override {
    calls.emplace_back("rewind");
    cursor_ = 0;
  }
  std::optional<platform::UserEntry> next() override {
    calls.emplace_back("next");
    if (isFailingFirstRead_ || cursor_ == homes_.size()) return std::nullopt;
    const std::optional<std::string>& home = homes_[cursor_++];
    return home ? platform::UserEntry{*home} : platform::UserEntry{};
  }
  void close() override { calls.emplace_back("close"); }

  std::vector<std::string> calls;

 private:
  std::vector<std::optional<std::string>> homes_;
  bool isFailingFirstRead_;
  std::size_t cursor_ = 0;
};

std::vector<std::string> paths(const std::vector<platform::FileLocation>& locations) {
  std::vector<std::string> out;
  out.reserve(locations.size());
  for (const auto& location : locations) out.push_back(location.path());
  return out;
}

struct CollectRow {
  std::string name;
  std::vector<std::optional<std::string>> homes;
  std::vector<std::string> expected;
};

void PrintTo(const CollectRow& row, std::ostream* out) { *out << row.name; }

class CollectHomeDirectoriesTest : public testing::TestWithParam<CollectRow> {};

TEST_P(CollectHomeDirectoriesTest, KeepsDistinctHomesUnderUsers) {
  FakeUserDatabase database(GetParam().homes);
  EXPECT_THAT(paths(collectHomeDirectories(database)),
              UnorderedElementsAreArray(GetParam().expected));
  ASSERT_EQ(database.calls.size(), GetParam().homes.size() + 3);
  EXPECT_EQ(database.calls.front(), "rewind");
  EXPECT_EQ(database.calls.back(), "close");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CollectHomeDirectoriesTest,
    testing::Values(
        CollectRow{"TwoUsers", {"/Users/user1", "/Users/user2"}, {"/Users/user1", "/Users/user2"}},
        CollectRow{"LinuxHomesToo", {"/home/alice", "/Users/bob"}, {"/home/alice", "/Users/bob"}},
        CollectRow{"NotUnderUsersOrHome",
                   {"/var/root", "/var/empty", "/", "/Users", "/UsersX/a", "/users/user1",
                    "/x/Users/user1", "Users/user1", "/home", "/homes/a", "/root", "/nonexistent",
                    "home/alice"},
                   {}},
        CollectRow{"SharedIsAHomeLikeAnyOther", {"/Users/Shared"}, {"/Users/Shared"}},
        CollectRow{"PrefixItself", {"/Users/"}, {"/Users/"}},
        CollectRow{"DuplicatesCountOnce",
                   {"/Users/user1", "/Users/user1", "/Users/user1"},
                   {"/Users/user1"}},
        CollectRow{"TrailingSeparatorIsDistinctText",
                   {"/Users/user1", "/Users/user1/"},
                   {"/Users/user1", "/Users/user1/"}},
        CollectRow{"EntryWithoutHomeIsSkipped",
                   {std::nullopt, "/Users/user1", std::nullopt},
                   {"/Users/user1"}},
        CollectRow{"IllFormedBytesBecomeReplacement",
                   {"/Users/a\xFF\xC3", "/Users/\xC3\xA9"},
                   {"/Users/a\xEF\xBF\xBD\xEF\xBF\xBD", "/Users/\xC3\xA9"}},
        CollectRow{"EmptyDatabase", {}, {}}),
    [](const auto& row) { return row.param.name; });

TEST(CollectHomeDirectoriesFailureTest, FailureOnFirstReadYieldsNothingAndCloses) {
  FakeUserDatabase database({"/Users/user1", "/Users/user2"}, /*isFailingFirstRead=*/true);
  EXPECT_TRUE(collectHomeDirectories(database).empty());
  EXPECT_THAT(database.calls, ElementsAre("rewind", "next", "close"));
}

}  // namespace
}  // namespace kelmarind::policy
