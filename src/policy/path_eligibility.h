// Which requested paths may be walked: everything absolute except the
// privacy-protected folders of each home directory and media library packages.
#pragma once

#include <array>
#include <span>
#include <string_view>
#include <unordered_set>

#include "platform/file_location.h"

namespace kelmarind::policy {

// Folders refused directly inside each home directory (not what lies in them).
inline constexpr std::array<std::string_view, 3> protectedHomeFolders{"Desktop", "Documents",
                                                                      "Downloads"};

// Folders, relative to each home directory, refused together with each entry
// directly inside them: the per-application containers of sandboxed
// applications, two kinds from the original platform and the two that
// sandboxed desktop applications keep their data in on Linux.
inline constexpr std::array<std::string_view, 4> protectedContainerRoots{
    "Library/Containers", "Library/Group Containers", ".var/app", "snap"};

// Lower-case extensions of the media library packages refused anywhere. Built
// on first use, once, safely when first uses race; never changed afterwards.
[[nodiscard]] const std::unordered_set<std::string_view>& libraryPackageExtensions();

// True when the walk may run on `path`, a text exactly as the client sent it.
// False when it is not absolute, contains a NUL byte, or, with at least one
// home directory listed, names a media library package or a protected folder
// of any home directory in `homeDirectories`. Paths are compared in standard
// form (see FileLocation::standardized), so every path answers as its
// standard form does. Pure, allocation-free and linear in the path's length;
// safe to call from many threads while `homeDirectories` is not modified.
[[nodiscard]] bool isEligiblePath(std::string_view path,
                                  std::span<const platform::FileLocation> homeDirectories);

}  // namespace kelmarind::policy
