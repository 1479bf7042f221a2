#include "policy/path_eligibility.h"

#include <algorithm>
#include <optional>

namespace kelmarind::policy {
namespace {

// The components of the standard form of an absolute path, from the last to
// the first, without allocating: a path of a megabyte must not cost a
// megabyte-sized component list before every walk. Read backwards, each ".."
// cancels the nearest kept component before it, exactly as standardizing from
// the front does; those left over reach the root and vanish there.
class StandardComponentsFromEnd {
 public:
  explicit StandardComponentsFromEnd(std::string_view path) : rest_(path) {}

  std::optional<std::string_view> next() {
    std::size_t parentCount = 0;
    while (true) {
      while (!rest_.empty() && rest_.back() == '/') rest_.remove_suffix(1);
      if (rest_.empty()) return std::nullopt;
      const std::size_t slash = rest_.rfind('/');
      const std::string_view component =
          slash == std::string_view::npos ? rest_ : rest_.substr(slash + 1);
      rest_.remove_suffix(component.size());
      if (component == ".") continue;
      if (component == "..") {
        ++parentCount;
      } else if (parentCount > 0) {
        --parentCount;
      } else {
        return component;
      }
    }
  }

 private:
  std::string_view rest_;
};

std::size_t standardComponentCount(std::string_view path) {
  StandardComponentsFromEnd components(path);
  std::size_t count = 0;
  while (components.next()) ++count;
  return count;
}

// Whether the `remainingCount` components still ahead of `target` are those of
// `home` followed by `tail`. Whole lists are compared, never a prefix.
bool restIsHomeThen(StandardComponentsFromEnd target, std::size_t remainingCount,
                    std::string_view home, std::size_t homeCount,
                    std::span<const std::string_view> tail) {
  if (remainingCount != homeCount + tail.size()) return false;
  for (auto name = tail.rbegin(); name != tail.rend(); ++name) {
    if (target.next() != *name) return false;
  }
  StandardComponentsFromEnd homeComponents(home);
  while (const std::optional<std::string_view> component = homeComponents.next()) {
    if (target.next() != *component) return false;
  }
  return true;
}

bool isProtectedInHome(std::string_view target, std::size_t targetCount, std::string_view home) {
  const std::size_t homeCount = standardComponentCount(home);
  // Every protected location lies one to three components below the home.
  if (targetCount < homeCount + 1 || targetCount > homeCount + 3) return false;
  const StandardComponentsFromEnd whole(target);
  for (const std::string_view& folder : protectedHomeFolders) {
    if (restIsHomeThen(whole, targetCount, home, homeCount, {&folder, 1})) return true;
  }
  StandardComponentsFromEnd parent(target);
  (void)parent.next();
  for (const std::string_view root : protectedContainerRoots) {
    std::array<std::string_view, 2> components{};
    std::size_t count = 0;
    platform::forEachComponent(
        root, [&](std::string_view component) { components[count++] = component; });
    const std::span<const std::string_view> tail(components.data(), count);
    if (restIsHomeThen(whole, targetCount, home, homeCount, tail)) return true;
    if (restIsHomeThen(parent, targetCount - 1, home, homeCount, tail)) return true;
  }
  return false;
}

// The extension is read from the standard form's last component, the location
// the walk would enter: "Family.photoslibrary/." and "Family.photoslibrary/x/.."
// name the package itself and are refused like it.
//
// Folding A-Z alone gives the answer of full Unicode lower-casing here. Only
// two code points outside ASCII lower-case into ASCII letters: U+212A KELVIN
// SIGN into "k", which no package extension contains, and U+0130 into "i"
// followed by U+0307, which stays outside ASCII. So an extension holding any
// non-ASCII code point lower-cases into none of these all-ASCII extensions,
// with either folding.
bool isLibraryPackage(std::string_view target) {
  StandardComponentsFromEnd components(target);
  const std::optional<std::string_view> last = components.next();
  if (!last) return false;
  const std::string_view extension = platform::extensionOf(*last);
  std::array<char, 16> folded{};
  if (extension.size() > folded.size()) return false;
  std::ranges::transform(extension, folded.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return libraryPackageExtensions().contains(std::string_view(folded.data(), extension.size()));
}

}  // namespace

const std::unordered_set<std::string_view>& libraryPackageExtensions() {
  // A function-local static: the language makes its one-time construction safe
  // when the first calls race, with no lock of ours afterwards.
  static const std::unordered_set<std::string_view> extensions{"photoslibrary", "musiclibrary",
                                                               "tvlibrary"};
  return extensions;
}

bool isEligiblePath(std::string_view path,
                    std::span<const platform::FileLocation> homeDirectories) {
  if (!path.starts_with('/')) return false;
  // The walk hands the path to the kernel as a C string, which would end at the
  // NUL: the location checked here would not be the one walked.
  if (path.find('\0') != std::string_view::npos) return false;
  if (homeDirectories.empty()) return true;
  if (isLibraryPackage(path)) return false;
  const std::size_t targetCount = standardComponentCount(path);
  return std::ranges::none_of(homeDirectories, [&](const platform::FileLocation& home) {
    return isProtectedInHome(path, targetCount, home.path());
  });
}

}  // namespace kelmarind::policy
