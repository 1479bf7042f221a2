// An in-memory file system for walk tests: entries are listed as added, and
// what the walk asked of it is recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kelmarind::platform::fake {

// Entries are enumerated in the order they were added, so callers add them
// in depth-first pre-order (a directory before its contents). Not
// thread-safe; for one test at a time.
class FakeFileSystem final : public FileSystem {
 public:
  struct Entry {
    std::string path;
    std::expected<EntryProperties, OsError> properties;
    std::expected<FileStatus, OsError> status;
  };

  FakeFileSystem() : skipped_(std::make_shared<std::vector<std::string>>()) {}

  void add(Entry entry) { entries_.push_back(std::move(entry)); }
  void addDirectory(std::string path, std::uint64_t device = 1);
  void addFile(std::string path, std::int64_t allocatedSize, std::uint64_t linkCount = 1,
               std::uint64_t identifier = 0);
  // Listed, but its properties and status fail as if it had just vanished.
  void addVanished(std::string path);

  // Paths of the directories whose descendants the walk skipped, in order.
  [[nodiscard]] const std::vector<std::string>& skipped() const { return *skipped_; }

  // Paths resolve to themselves: the fake has no links.
  [[nodiscard]] std::expected<std::unique_ptr<RootEntry>, OsError> resolve(
      std::string_view path) const override;

 private:
  class Root;
  [[nodiscard]] const Entry* find(std::string_view path) const;

  std::vector<Entry> entries_;
  std::shared_ptr<std::vector<std::string>> skipped_;
};

}  // namespace kelmarind::platform::fake
