// Reading a program's embedded identity: the XML property list in its ELF
// section "__info_plist", and the bundle identifier in that list. Every size
// read from the file is checked against the file and against the limits below
// before anything is allocated or read.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/linux/identity_error.h"

namespace kelmarind::platform::linux {

inline constexpr std::size_t maxInfoPlistSize = std::size_t{64} * 1024;
inline constexpr std::size_t maxSectionCount = 4096;
inline constexpr std::size_t maxSectionNamesSize = std::size_t{64} * 1024;
// Deeper nesting than any identity needs; bounds the plist parser's recursion.
inline constexpr int maxInfoPlistDepth = 16;

// The bytes of section "__info_plist" of the ELF image `image` (a whole file
// in memory). Only ELF files of this machine's class and byte order are read.
[[nodiscard]] std::expected<std::string, IdentityError> infoPlistOfImage(
    std::span<const std::byte> image);

// The same, read with pread from the open file `fd` (not taken over; its file
// offset is left alone). Read failures are systemError.
[[nodiscard]] std::expected<std::string, IdentityError> infoPlistOfFile(int fd);

// The text value of the top-level key CFBundleIdentifier in the XML property
// list `xml`. Thread-safe.
[[nodiscard]] std::expected<std::string, IdentityError> bundleIdentifierOf(std::string_view xml);

}  // namespace kelmarind::platform::linux
