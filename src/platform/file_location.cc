#include "platform/file_location.h"

namespace kelmarind::platform {

FileLocation FileLocation::standardized() const {
  std::vector<std::string_view> kept;
  forEachComponent(path_, [&](std::string_view component) {
    if (component == ".") return;
    if (component == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
      } else if (!isAbsolute()) {
        kept.push_back(component);
      }
      return;
    }
    kept.push_back(component);
  });

  std::string out;
  out.reserve(path_.size() + 1);
  for (std::string_view component : kept) {
    if (!out.empty() || isAbsolute()) out.push_back('/');
    out.append(component);
  }
  if (out.empty() && isAbsolute()) out.push_back('/');
  return FileLocation(std::move(out));
}

std::vector<std::string_view> FileLocation::components() const {
  std::vector<std::string_view> out;
  forEachComponent(path_, [&](std::string_view component) { out.push_back(component); });
  return out;
}

std::string_view FileLocation::lastComponent() const {
  std::string_view path = path_;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return path;
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view FileLocation::extension() const {
  const std::string_view last = lastComponent();
  const auto dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return last.substr(dot + 1);
}

}  // namespace kelmarind::platform
