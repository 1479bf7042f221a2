// The file-system seam on Linux: one statx per entry relative to an open
// directory, getdents64 for listing, and a bounded number of open directories
// however deep the tree goes. Directories are read ahead of the walk on a few
// threads shared by the process; wide ones have their entries' status read on
// two threads.
#pragma once

#include <cstdint>

#include "platform/file_system.h"

namespace kelmarind::platform::linux {

// When a walk uses the threads that read directories ahead: once its own
// listings show that reads go to the disk, or from the start.
enum class ReadAheadUse : std::uint8_t { whenReadsAreSlow, always };

// Stateless: one object may serve any number of concurrent walks. Only reads;
// directories are opened with O_NOATIME where the kernel allows it, and no
// automount is ever triggered.
class LinuxFileSystem final : public FileSystem {
 public:
  explicit LinuxFileSystem(ReadAheadUse readAheadUse = ReadAheadUse::whenReadsAreSlow)
      : readAheadUse_(readAheadUse) {}

  // Roots it resolves enumerate with at most a fixed number of directory
  // descriptors open at any depth (besides the root's own; one more while a
  // helper thread reads statuses ahead, a few hundred entries at most, in a
  // directory of 32 entries or more; that thread ends with the enumerator).
  // Within a directory the enumerator reports the entries its listing gives
  // as non-directories first, then the others, each in listing order.
  // Directories it cannot list or reopen are reported without contents.
  // Besides, for the whole process, two threads open, list and examine
  // the directories each walk enters next (see ReadAheadUse: on a warm
  // cache handing them over costs more than it saves), holding at most 64
  // of them and a quarter of the descriptors the process may open, and
  // a walk uses what they prepared only when it is the directory the walk
  // examined; without threads or descriptors to spare a walk does it all.
  // Out of descriptors, it gives back the descriptors of directories it can
  // reopen later, and those read ahead for it, and waits a few seconds for
  // others to be freed; if the shortage lasts, resolve(), enumerate() or
  // next() fails with an error whose isShortage() holds. Links on /proc fail resolution with EXDEV.
  [[nodiscard]] std::expected<std::unique_ptr<RootEntry>, OsError> resolve(
      std::string_view path) const override;

 private:
  const ReadAheadUse readAheadUse_;
};

}  // namespace kelmarind::platform::linux
