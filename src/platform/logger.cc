#include "platform/logger.h"

namespace kelmarind::platform {

std::string formatLogMessage(std::string_view format, std::span<const std::string_view> arguments) {
  std::string out;
  auto argument = arguments.begin();
  while (true) {
    const std::size_t at = format.find(publicPlaceholder);
    if (at == std::string_view::npos || argument == arguments.end()) break;
    out.append(format.substr(0, at));
    out.append(*argument++);
    format.remove_prefix(at + publicPlaceholder.size());
  }
  out.append(format);
  return out;
}

}  // namespace kelmarind::platform
