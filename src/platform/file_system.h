// The file-system seam of the walk: the properties of an entry, an lstat-like
// status, and a depth-first enumerator of a directory tree. The Linux version
// lives in platform/linux, an in-memory one for tests in platform/fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/os_error.h"

namespace kelmarind::platform {

// The seven properties the walk reads of an entry; any of them may be missing
// when the file system does not report it.
struct EntryProperties {
  std::optional<bool> isDirectory{};
  std::optional<bool> isSymbolicLink{};
  std::optional<std::int64_t> totalFileAllocatedSize{};  // bytes of storage
  std::optional<std::int64_t> fileSize{};                // logical length in bytes
  // Seconds since 2001-01-01T00:00:00Z.
  std::optional<double> contentModificationDate{};
  std::optional<std::uint64_t> linkCount{};
  // Equal for all links of one file, different for different files below the
  // enumerated root.
  std::optional<std::uint64_t> fileIdentifier{};
};

// The entry itself, never the target of a final symbolic link.
struct FileStatus {
  std::uint64_t device = 0;
  std::uint64_t linkCount = 0;
  std::uint64_t inode = 0;
};

// Reports the entries below one root in depth-first pre-order: a directory,
// then all of its contents, then its next sibling. Hidden entries are
// included; a directory that cannot be listed simply has no entries. Owned by
// one walk on one thread.
class DirectoryEnumerator {
 public:
  virtual ~DirectoryEnumerator() = default;

  // Moves to the next entry; false once every entry has been reported, or
  // once the enumeration cannot go on (see failure()).
  [[nodiscard]] virtual bool next() = 0;
  // After next() answered false: nothing when every entry was reported; else
  // why the enumeration stopped early (out of descriptors or memory), so what
  // it reported is not the whole tree.
  [[nodiscard]] virtual std::optional<OsError> failure() const { return std::nullopt; }

  // About the current entry, valid until the next call of next(). level() is
  // 1 for the root's own entries. path() is the path of the directory
  // holding the entry, "/" unless that path ends in one, then name(), so it
  // begins with the root's path; both texts are valid UTF-8 (bytes that are
  // not become U+FFFD).
  [[nodiscard]] virtual std::size_t level() const = 0;
  [[nodiscard]] virtual std::string_view name() const = 0;
  [[nodiscard]] virtual std::string_view path() const = 0;
  // Fetched with the enumeration; an error means the entry could not be read
  // (it vanished, or its parent cannot be searched).
  [[nodiscard]] virtual std::expected<EntryProperties, OsError> properties() const = 0;
  [[nodiscard]] virtual std::expected<FileStatus, OsError> status() const = 0;
  // How many entries the directory holding the current entry has, 0 when the
  // enumerator does not know. Only a hint, for reserving room.
  [[nodiscard]] virtual std::size_t entryCountHint() const { return 0; }

  // The current entry, a directory, is not entered.
  virtual void skipDescendants() = 0;
};

// Reads file systems; never writes. Implementations are cheap to make and
// safe to share between threads: every call keeps its state to itself.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  [[nodiscard]] virtual std::expected<EntryProperties, OsError> properties(
      std::string_view path) const = 0;
  [[nodiscard]] virtual std::expected<FileStatus, OsError> status(std::string_view path) const = 0;
  // Enumerates below the directory `root`, whose path text is kept as the
  // prefix of every entry's path.
  [[nodiscard]] virtual std::expected<std::unique_ptr<DirectoryEnumerator>, OsError> enumerate(
      std::string_view root) const = 0;
};

}  // namespace kelmarind::platform
