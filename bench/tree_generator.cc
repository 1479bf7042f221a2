#include "bench/tree_generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/unique_fd.h"

namespace kelmarind::bench {
namespace {

using platform::OsError;
using platform::UniqueFd;

using Status = std::expected<void, OsError>;

constexpr const char* markerName = ".tree-shape";
constexpr std::uint64_t randomSeed = 0x6b656c6d61726e64;
constexpr std::size_t largestWrite = std::size_t{32} * 1024;
constexpr off_t sparseSize = 1 << 20;

// A name such as "f000123": a prefix and a number, without allocation.
class EntryName final {
 public:
  EntryName(char prefix, int number) {
    text_[0] = prefix;
    auto [end, ec] = std::to_chars(text_.data() + 1, text_.data() + text_.size() - 1, number);
    *end = '\0';
  }
  [[nodiscard]] const char* get() const { return text_.data(); }

 private:
  std::array<char, 16> text_{};
};

class Generator final {
 public:
  explicit Generator(const TreeShape& shape) : shape_(shape) {
    std::fill(std::begin(content_), std::end(content_), 'k');
  }

  Status run(const UniqueFd& root) {
    if (auto status = makeWide(root); !status) return status;
    if (auto status = makeDeep(root); !status) return status;
    if (auto status = makeLinks(root); !status) return status;
    if (auto status = makeBush(root); !status) return status;
    const std::string marker = describe(shape_) + "\n";
    return makeFile(root, markerName, marker);
  }

 private:
  Status makeWide(const UniqueFd& root) {
    auto wide = makeDirectory(root, "wide");
    if (!wide) return std::unexpected(wide.error());
    for (int i = 0; i < shape_.wideDirectoryCount; ++i) {
      auto dir = makeDirectory(*wide, EntryName('w', i).get());
      if (!dir) return std::unexpected(dir.error());
      if (auto status = makeFiles(*dir, shape_.wideFileCount); !status) return status;
    }
    return {};
  }

  Status makeDeep(const UniqueFd& root) {
    auto deep = makeDirectory(root, "deep");
    if (!deep) return std::unexpected(deep.error());
    for (int i = 0; i < shape_.chainCount; ++i) {
      auto level = makeDirectory(*deep, EntryName('c', i).get());
      for (int depth = 1; level; ++depth) {
        if (auto status = makeSizedFile(*level, "f"); !status) return status;
        if (depth == shape_.chainDepth) break;
        level = makeDirectory(*level, "d");
      }
      if (!level) return std::unexpected(level.error());
    }
    return {};
  }

  Status makeLinks(const UniqueFd& root) {
    auto links = makeDirectory(root, "links");
    if (!links) return std::unexpected(links.error());
    auto first = makeDirectory(*links, "l0");
    if (!first) return std::unexpected(first.error());
    for (int i = 0; i < shape_.linkedFileCount; ++i) {
      const std::size_t size = 1 + next() % (std::uint64_t{8} * 1024);
      if (auto status = makeFile(*first, EntryName('f', i).get(), {content_, size}); !status) {
        return status;
      }
    }
    for (int copy = 1; copy < shape_.linksPerFile; ++copy) {
      auto dir = makeDirectory(*links, EntryName('l', copy).get());
      if (!dir) return std::unexpected(dir.error());
      for (int i = 0; i < shape_.linkedFileCount; ++i) {
        const EntryName name('f', i);
        if (::linkat(first->get(), name.get(), dir->get(), name.get(), 0) != 0) {
          return std::unexpected(OsError{errno, "linkat"});
        }
      }
    }
    return {};
  }

  Status makeBush(const UniqueFd& root) {
    auto bush = makeDirectory(root, "bush");
    if (!bush) return std::unexpected(bush.error());
    for (int i = 0; i < shape_.bushTopCount; ++i) {
      auto top = makeDirectory(*bush, EntryName('t', i).get());
      if (!top) return std::unexpected(top.error());
      for (int j = 0; j < shape_.bushMiddleCount; ++j) {
        auto middle = makeDirectory(*top, EntryName('m', j).get());
        if (!middle) return std::unexpected(middle.error());
        if (auto status = makeFiles(*middle, shape_.bushFileCount); !status) return status;
      }
    }
    return {};
  }

  Status makeFiles(const UniqueFd& dir, int count) {
    for (int i = 0; i < count; ++i) {
      if (auto status = makeSizedFile(dir, EntryName('f', i).get()); !status) return status;
    }
    return {};
  }

  // Mostly empty files, some of a few bytes, a few of some KiB, and one in a
  // hundred sparse: a large logical size that occupies no storage.
  Status makeSizedFile(const UniqueFd& dir, const char* name) {
    const std::uint64_t kind = next() % 100;
    const std::uint64_t amount = next();
    if (kind < 87) return makeFile(dir, name, {});
    if (kind < 97) return makeFile(dir, name, {content_, 1 + amount % 200});
    if (kind < 99) return makeFile(dir, name, {content_, 4096 + amount % (largestWrite - 4096)});
    auto file = createFile(dir, name);
    if (!file) return std::unexpected(file.error());
    if (::ftruncate(file->get(), sparseSize) != 0) {
      return std::unexpected(OsError{errno, "ftruncate"});
    }
    return {};
  }

  static std::expected<UniqueFd, OsError> createFile(const UniqueFd& dir, const char* name) {
    UniqueFd file(::openat(dir.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file) return std::unexpected(OsError{errno, "openat"});
    return file;
  }

  static Status makeFile(const UniqueFd& dir, const char* name, std::string_view content) {
    auto file = createFile(dir, name);
    if (!file) return std::unexpected(file.error());
    while (!content.empty()) {
      const ssize_t n = platform::linux::retryOnInterrupt(
          [&] { return ::write(file->get(), content.data(), content.size()); });
      if (n < 0) return std::unexpected(OsError{errno, "write"});
      content.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
  }

  static std::expected<UniqueFd, OsError> makeDirectory(const UniqueFd& parent, const char* name) {
    if (::mkdirat(parent.get(), name, 0755) != 0) return std::unexpected(OsError{errno, "mkdirat"});
    UniqueFd dir(::openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return std::unexpected(OsError{errno, "openat"});
    return dir;
  }

  // splitmix64: tiny, fast and the same on every machine.
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }

  const TreeShape shape_;
  std::uint64_t state_ = randomSeed;
  char content_[largestWrite];
};

bool hasMarker(const std::string& root, const std::string& expected) {
  UniqueFd file(::open((root + "/" + markerName).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  std::string text(expected.size() + 1, '\0');
  const ssize_t n = ::read(file.get(), text.data(), text.size());
  return n >= 0 && std::string_view(text.data(), static_cast<std::size_t>(n)) == expected;
}

}  // namespace

TreeCounts countsOf(const TreeShape& s) {
  const std::int64_t wide = std::int64_t{s.wideDirectoryCount} * s.wideFileCount;
  const std::int64_t chain = std::int64_t{s.chainCount} * s.chainDepth;
  const std::int64_t linked = std::int64_t{s.linkedFileCount} * s.linksPerFile;
  const std::int64_t middles = std::int64_t{s.bushTopCount} * s.bushMiddleCount;
  return TreeCounts{
      .folderCount = 5 + s.wideDirectoryCount + chain + s.linksPerFile + s.bushTopCount + middles,
      .fileCount = 1 + wide + chain + linked + middles * s.bushFileCount,
  };
}

std::string describe(const TreeShape& s) {
  std::string out;
  const auto add = [&out](std::string_view key, int value) {
    if (!out.empty()) out += ' ';
    out += key;
    out += '=';
    out += std::to_string(value);
  };
  add("wide", s.wideDirectoryCount);
  add("wideFiles", s.wideFileCount);
  add("chains", s.chainCount);
  add("chainDepth", s.chainDepth);
  add("linkedFiles", s.linkedFileCount);
  add("linksPerFile", s.linksPerFile);
  add("bushTop", s.bushTopCount);
  add("bushMiddle", s.bushMiddleCount);
  add("bushFiles", s.bushFileCount);
  return out;
}

std::expected<GenerateOutcome, OsError> generateTree(const std::string& root,
                                                     const TreeShape& shape) {
  if (::mkdir(root.c_str(), 0755) != 0) {
    if (errno == EEXIST && hasMarker(root, describe(shape) + "\n")) {
      return GenerateOutcome::alreadyPresent;
    }
    return std::unexpected(OsError{errno, "mkdir"});
  }
  UniqueFd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return std::unexpected(OsError{errno, "open"});
  auto generator = std::make_unique<Generator>(shape);
  if (auto status = generator->run(dir); !status) return std::unexpected(status.error());
  return GenerateOutcome::created;
}

}  // namespace kelmarind::bench
