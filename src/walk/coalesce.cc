#include "walk/coalesce.h"

#include <algorithm>
#include <charconv>

namespace kelmarind::walk {

std::string groupedCount(std::int64_t count) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, count);
  const std::string_view text(digits, end);
  const std::size_t sign = text.starts_with('-') ? 1 : 0;
  std::string out(text.substr(0, sign));
  for (std::size_t i = sign; i < text.size(); ++i) {
    if (i > sign && (text.size() - i) % 3 == 0) out += ',';
    out += text[i];
  }
  return out;
}

std::string aggregateName(std::size_t count) {
  return groupedCount(static_cast<std::int64_t>(count)) + " more items";
}

std::optional<SmallEntries> findSmallEntries(std::span<const CompactNode> entries) {
  constexpr double smallFraction = 0.002;
  constexpr std::size_t leastMergedCount = 2;
  if (entries.size() < leastMergedCount) return std::nullopt;
  std::int64_t total = 0;
  for (const CompactNode& entry : entries) total += entry.allocatedSize;
  if (total <= 0) return std::nullopt;
  SmallEntries small{.threshold = static_cast<double>(total) * smallFraction, .count = 0};
  for (const CompactNode& entry : entries) {
    small.count += small.contains(entry.allocatedSize) ? 1 : 0;
  }
  if (small.count < leastMergedCount) return std::nullopt;
  return small;
}

void nameAggregate(CompactNode& aggregate, std::size_t merged, std::pmr::memory_resource& memory) {
  const std::string name = aggregateName(merged);
  auto* text = static_cast<char*>(memory.allocate(std::max<std::size_t>(name.size(), 1), 1));
  // Texts are sized, never terminated.
  std::ranges::copy(name, text);
  aggregate.text = text;
  aggregate.nameSize = static_cast<std::uint32_t>(name.size());
  aggregate.pathSize = 0;
}

}  // namespace kelmarind::walk
