#include "platform/fake/fake_file_system.h"

#include <cerrno>

#include "platform/file_location.h"

namespace kelmarind::platform::fake {
namespace {

bool isBelow(std::string_view path, std::string_view directory) {
  return path.size() > directory.size() && path.starts_with(directory) &&
         (directory.ends_with('/') || path[directory.size()] == '/');
}

std::size_t componentCount(std::string_view path) {
  std::size_t count = 0;
  forEachComponent(path, [&](std::string_view) { ++count; });
  return count;
}

class FakeDirectoryEnumerator final : public DirectoryEnumerator {
 public:
  FakeDirectoryEnumerator(std::vector<const FakeFileSystem::Entry*> entries, std::size_t rootDepth,
                          std::shared_ptr<std::vector<std::string>> skipped)
      : entries_(std::move(entries)), rootDepth_(rootDepth), skipped_(std::move(skipped)) {}

  bool next() override {
    while (isSkipping_ && position_ < entries_.size() &&
           isBelow(entries_[position_]->path, skippedPath_)) {
      ++position_;
    }
    isSkipping_ = false;
    if (position_ == entries_.size()) return false;
    ++position_;
    return true;
  }

  std::size_t level() const override { return componentCount(current().path) - rootDepth_; }
  std::string_view name() const override {
    const std::string_view path = current().path;
    return path.substr(path.rfind('/') + 1);
  }
  std::string_view path() const override { return current().path; }
  std::expected<EntryProperties, OsError> properties() const override {
    return current().properties;
  }
  std::expected<FileStatus, OsError> status() const override { return current().status; }

  void skipDescendants() override {
    isSkipping_ = true;
    skippedPath_ = current().path;
    skipped_->push_back(skippedPath_);
  }

 private:
  const FakeFileSystem::Entry& current() const { return *entries_[position_ - 1]; }

  std::vector<const FakeFileSystem::Entry*> entries_;
  std::size_t rootDepth_;
  std::shared_ptr<std::vector<std::string>> skipped_;
  std::size_t position_ = 0;  // one past the current entry
  bool isSkipping_ = false;
  std::string skippedPath_;
};

}  // namespace

void FakeFileSystem::addDirectory(std::string path, std::uint64_t device) {
  const auto inode = entries_.size() + 1;
  add({std::move(path),
       EntryProperties{.isDirectory = true,
                       .isSymbolicLink = false,
                       .totalFileAllocatedSize = 4096,
                       .fileSize = 4096,
                       .contentModificationDate = 100.0 + static_cast<double>(inode),
                       .linkCount = 2,
                       .fileIdentifier = inode},
       FileStatus{.device = device, .linkCount = 2, .inode = inode}});
}

void FakeFileSystem::addFile(std::string path, std::int64_t allocatedSize, std::uint64_t linkCount,
                             std::uint64_t identifier) {
  const auto inode = identifier != 0 ? identifier : entries_.size() + 1;
  add({std::move(path),
       EntryProperties{.isDirectory = false,
                       .isSymbolicLink = false,
                       .totalFileAllocatedSize = allocatedSize,
                       .fileSize = allocatedSize,
                       .contentModificationDate = 200.0 + static_cast<double>(inode),
                       .linkCount = linkCount,
                       .fileIdentifier = inode},
       FileStatus{.device = 1, .linkCount = linkCount, .inode = inode}});
}

void FakeFileSystem::addVanished(std::string path) {
  add({std::move(path), std::unexpected(OsError{ENOENT, "statx"}),
       std::unexpected(OsError{ENOENT, "statx"})});
}

const FakeFileSystem::Entry* FakeFileSystem::find(std::string_view path) const {
  for (const Entry& entry : entries_) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}

class FakeFileSystem::Root final : public RootEntry {
 public:
  Root(const FakeFileSystem& fileSystem, const Entry& entry)
      : fileSystem_(fileSystem), entry_(entry) {}

  std::string_view reachedPath() const override { return entry_.path; }
  std::expected<EntryProperties, OsError> properties() const override { return entry_.properties; }
  std::expected<FileStatus, OsError> status() const override { return entry_.status; }

  std::expected<std::unique_ptr<DirectoryEnumerator>, OsError> enumerate(
      std::string_view path) const override {
    std::vector<const Entry*> below;
    for (const Entry& entry : fileSystem_.entries_) {
      if (isBelow(entry.path, path)) below.push_back(&entry);
    }
    return std::make_unique<FakeDirectoryEnumerator>(std::move(below), componentCount(path),
                                                     fileSystem_.skipped_);
  }

 private:
  const FakeFileSystem& fileSystem_;
  const Entry& entry_;
};

std::expected<std::unique_ptr<RootEntry>, OsError> FakeFileSystem::resolve(
    std::string_view path) const {
  const Entry* entry = find(path);
  if (entry == nullptr) return std::unexpected(OsError{ENOENT, "openat"});
  return std::make_unique<Root>(*this, *entry);
}

}  // namespace kelmarind::platform::fake
