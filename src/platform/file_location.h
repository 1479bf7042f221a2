// File locations: a path text and the standardization that the eligibility
// check and the walk share, so both always agree on which location is meant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::platform {

// A location in the file system, held as a path text. A value type; copies are
// independent. Accessors that return views borrow from this object and are
// valid while it lives and is not assigned.
class FileLocation final {
 public:
  // The location named by `path`, exactly as given (not yet standardized).
  explicit FileLocation(std::string path) : path_(std::move(path)) {}

  // The same location in standard form: empty and "." components removed, each
  // ".." removing the component before it (a ".." at the root stays there), no
  // trailing separator. Symbolic links are not consulted. "/" stays "/"; a
  // relative path stays relative and keeps its leading "..".
  [[nodiscard]] FileLocation standardized() const;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool isAbsolute() const { return path_.starts_with('/'); }

  // The non-empty components, in order, without "/" itself: for
  // "/Users/a/Documents/" that is Users, a, Documents; for "/" nothing. Not
  // standardized: "." and ".." appear as written.
  [[nodiscard]] std::vector<std::string_view> components() const;

  // The last non-empty component; "/" for the root; empty for an empty path.
  [[nodiscard]] std::string_view lastComponent() const;

  // extensionOf(lastComponent()).
  [[nodiscard]] std::string_view extension() const;

  friend bool operator==(const FileLocation&, const FileLocation&) = default;

 private:
  std::string path_;
};

// The text after the last dot of the file name `name`, empty when there is
// none. A single leading dot marks a hidden name, not an extension:
// ".photoslibrary" has no extension, "a.photoslibrary" has one. Borrows from
// `name`.
[[nodiscard]] std::string_view extensionOf(std::string_view name);

// Calls `visit(component)` for each non-empty component of `path` in order,
// without allocating. Shared by the accessors above and by callers that must
// stay allocation-free on long paths.
template <typename Visit>
void forEachComponent(std::string_view path, Visit&& visit) {
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    std::size_t end = i;
    while (end < path.size() && path[end] != '/') ++end;
    if (end > i) visit(path.substr(i, end - i));
    i = end;
  }
}

}  // namespace kelmarind::platform
