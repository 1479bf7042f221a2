#include "platform/linux/info_plist.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <plist/plist.h>

#include "platform/linux/retry_on_interrupt.h"

namespace kelmarind::platform::linux {
namespace {

using Header = ElfW(Ehdr);
using SectionHeader = ElfW(Shdr);

constexpr unsigned char nativeClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char nativeByteOrder =
    __BYTE_ORDER == __LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
constexpr std::string_view sectionName = "__info_plist";

using ReadResult = std::expected<void, IdentityError>;

std::unexpected<IdentityError> failure(IdentityProblem problem) {
  return std::unexpected(IdentityError{problem, {}});
}

bool isNativeElf(const Header& header) {
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_ident[EI_CLASS] == nativeClass && header.e_ident[EI_DATA] == nativeByteOrder &&
         header.e_shentsize == sizeof(SectionHeader);
}

// `readAt(offset, size, out)` fills `out` with exactly `size` bytes at
// `offset` or fails; offsets and sizes come straight from the file, so it must
// check them against the file itself.
template <typename ReadAt>
std::expected<std::string, IdentityError> readInfoPlist(const ReadAt& readAt) {
  Header header;
  if (auto read = readAt(0, sizeof header, &header); !read) return std::unexpected(read.error());
  if (!isNativeElf(header)) return failure(IdentityProblem::malformedExecutable);
  // Zero sections also covers extended numbering, which only files with more
  // than 65279 sections use; ours have a few dozen.
  if (header.e_shnum == 0) return failure(IdentityProblem::missingInfoPlist);
  if (header.e_shnum > maxSectionCount || header.e_shstrndx >= header.e_shnum) {
    return failure(IdentityProblem::malformedExecutable);
  }
  std::vector<SectionHeader> sections(header.e_shnum);
  if (auto read = readAt(header.e_shoff, sections.size() * sizeof(SectionHeader), sections.data());
      !read) {
    return std::unexpected(read.error());
  }
  const SectionHeader& namesHeader = sections[header.e_shstrndx];
  if (namesHeader.sh_type == SHT_NOBITS || namesHeader.sh_size > maxSectionNamesSize) {
    return failure(IdentityProblem::malformedExecutable);
  }
  // std::string keeps a terminator past the end, so a name running off the
  // table still ends there.
  std::string names(namesHeader.sh_size, '\0');
  if (auto read = readAt(namesHeader.sh_offset, names.size(), names.data()); !read) {
    return std::unexpected(read.error());
  }
  for (const SectionHeader& section : sections) {
    if (section.sh_name >= names.size() || names.c_str() + section.sh_name != sectionName) continue;
    if (section.sh_type == SHT_NOBITS) return failure(IdentityProblem::malformedExecutable);
    if (section.sh_size > maxInfoPlistSize) return failure(IdentityProblem::malformedInfoPlist);
    std::string bytes(section.sh_size, '\0');
    if (auto read = readAt(section.sh_offset, bytes.size(), bytes.data()); !read) {
      return std::unexpected(read.error());
    }
    return bytes;
  }
  return failure(IdentityProblem::missingInfoPlist);
}

// Every element but dict and array holds only text, so the depth of elements
// is the plist's nesting depth. Markup inside comments counts too, which only
// makes the check stricter.
bool isNestedTooDeeply(std::string_view xml) {
  int depth = 0;
  for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
    const char next = at + 1 < xml.size() ? xml[at + 1] : '\0';
    if (next == '/') {
      --depth;
    } else if (next != '?' && next != '!') {
      const std::size_t end = xml.find('>', at);
      const bool isEmptyElement = end != std::string_view::npos && xml[end - 1] == '/';
      if (!isEmptyElement && ++depth > maxInfoPlistDepth) return true;
    }
  }
  return false;
}

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

}  // namespace

std::expected<std::string, IdentityError> infoPlistOfImage(std::span<const std::byte> image) {
  return readInfoPlist([image](std::uint64_t offset, std::size_t size, void* out) -> ReadResult {
    if (offset > image.size() || size > image.size() - offset) {
      return failure(IdentityProblem::malformedExecutable);
    }
    std::memcpy(out, image.data() + offset, size);
    return {};
  });
}

std::expected<std::string, IdentityError> infoPlistOfFile(int fd) {
  return readInfoPlist([fd](std::uint64_t offset, std::size_t size, void* out) -> ReadResult {
    constexpr auto maxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > maxOffset - size) return failure(IdentityProblem::malformedExecutable);
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
      const ssize_t count =
          retryOnInterrupt([&] { return ::pread(fd, bytes, size, static_cast<off_t>(offset)); });
      if (count < 0) {
        return std::unexpected(IdentityError{IdentityProblem::systemError, {errno, "pread"}});
      }
      if (count == 0) return failure(IdentityProblem::malformedExecutable);
      bytes += count;
      offset += static_cast<std::uint64_t>(count);
      size -= static_cast<std::size_t>(count);
    }
    return {};
  });
}

std::expected<std::string, IdentityError> bundleIdentifierOf(std::string_view xml) {
  if (xml.size() > maxInfoPlistSize || isNestedTooDeeply(xml)) {
    return failure(IdentityProblem::malformedInfoPlist);
  }
  plist_t parsed = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &parsed);
  const std::unique_ptr<void, PlistFree> root(parsed);
  if (root == nullptr || plist_get_node_type(parsed) != PLIST_DICT) {
    return failure(IdentityProblem::malformedInfoPlist);
  }
  plist_t value = plist_dict_get_item(parsed, "CFBundleIdentifier");
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
    return failure(IdentityProblem::missingIdentifier);
  }
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (text == nullptr || length == 0) return failure(IdentityProblem::missingIdentifier);
  return std::string(text, length);
}

}  // namespace kelmarind::platform::linux
