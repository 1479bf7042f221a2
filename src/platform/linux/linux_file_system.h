// The file-system seam on Linux: one statx per entry relative to an open
// directory, getdents64 for listing, and a bounded number of open directories
// however deep the tree goes. Wide directories have their entries' status
// read on two threads.
#pragma once

#include "platform/file_system.h"

namespace kelmarind::platform::linux {

// Stateless: one object may serve any number of concurrent walks. Only reads;
// directories are opened with O_NOATIME where the kernel allows it, and no
// automount is ever triggered.
class LinuxFileSystem final : public FileSystem {
 public:
  [[nodiscard]] std::expected<EntryProperties, OsError> properties(
      std::string_view path) const override;
  [[nodiscard]] std::expected<FileStatus, OsError> status(std::string_view path) const override;
  // The enumerator holds at most a fixed number of directory descriptors open
  // at any depth (one more while a helper thread reads statuses ahead, a few
  // hundred entries at most, in a directory of 32 entries or more; that
  // thread ends with the enumerator). Within a directory it reports the
  // entries its listing gives as non-directories first, then the others, each
  // in listing order.
  // Directories it cannot list or reopen are reported without contents.
  // Out of descriptors, it gives back the descriptors of directories it can
  // reopen later and waits a few seconds for others to be freed; if the
  // shortage lasts, enumerate() or next() fails with an error whose
  // isShortage() holds. Fails when the root cannot be opened.
  [[nodiscard]] std::expected<std::unique_ptr<DirectoryEnumerator>, OsError> enumerate(
      std::string_view root) const override;
};

}  // namespace kelmarind::platform::linux
