#include "walk/privileged_node.h"

#include <array>

namespace kelmarind::walk {
namespace {

constexpr std::array<std::string_view, 9> keyTexts = {
    "name",        "path",      "isDirectory",      "allocatedSize",
    "folderCount", "fileCount", "modificationDate", "isAggregate",
    "children",
};

}  // namespace

std::optional<CodingKeys> CodingKeys::fromText(std::string_view text) {
  for (std::size_t i = 0; i < keyTexts.size(); ++i) {
    if (keyTexts[i] == text) return CodingKeys{static_cast<Case>(i)};
  }
  return std::nullopt;
}

std::string_view CodingKeys::text() const { return keyTexts[static_cast<std::size_t>(value)]; }

}  // namespace kelmarind::walk
