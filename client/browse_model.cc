#include "client/browse_model.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

#include "client/display_text.h"
#include "client/tree_view.h"

namespace kelmarind::client {
namespace {

constexpr int headerLines = 2;
constexpr int footerLines = 1;
constexpr int sizeColumns = 10;
constexpr int leastNameColumns = 16;
// Seconds from the Unix epoch to 2001-01-01T00:00:00Z, the documents' epoch.
constexpr double documentEpoch = 978307200;

constexpr std::array<std::string_view, 13> help = {
    "Keys",
    "  \u2191 \u2193  j k        move",
    "  PgUp PgDn       a page at a time",
    "  Home End  g G   first, last",
    "  Enter \u2192 l       open the directory",
    "  Backspace \u2190 h   back to the parent, where you were",
    "  s n c m         sort by size, name, item count, date",
    "  r               walk again through the helper",
    "  ?               this help (any key closes it)",
    "  q               quit",
    "",
    "[N more items] is a directory's small entries, merged",
    "into one by the helper: it has no entries to open.",
};

std::string_view orderName(SortOrder order) {
  switch (order) {
    case SortOrder::size:
      return "by size";
    case SortOrder::name:
      return "by name";
    case SortOrder::itemCount:
      return "by item count";
    case SortOrder::modificationDate:
      return "by date";
  }
  return {};
}

std::int64_t itemCount(const ScanEntry& entry) { return entry.folderCount + entry.fileCount; }

bool nameLess(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  const auto [ai, bi] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return lower(x) == lower(y); });
  if (ai == a.end() || bi == b.end()) return a.size() < b.size() || (a.size() == b.size() && a < b);
  return lower(*ai) < lower(*bi);
}

std::string formatDate(const ScanEntry& entry) {
  if (!entry.hasDate) return std::string(10, ' ');
  const auto seconds = static_cast<time_t>(entry.modificationDate + documentEpoch);
  struct tm local = {};
  std::array<char, 16> text{};
  if (::localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%d", &local) == 0) {
    return std::string(10, '?');
  }
  return text.data();
}

std::string padLeft(const std::string& text, int columns) {
  const int width = displayWidth(text);
  return width < columns ? std::string(static_cast<std::size_t>(columns - width), ' ') + text
                         : text;
}

}  // namespace

BrowseModel::BrowseModel(ScanTree tree) : tree_(std::move(tree)) {
  levels_.push_back(makeLevel(ScanTree::rootIndex()));
}

BrowseModel::Level BrowseModel::makeLevel(std::uint32_t directory) const {
  Level level{.directory = directory, .rows = tree_.childrenOf(directory)};
  sortRows(level.rows);
  return level;
}

void BrowseModel::sortRows(std::vector<std::uint32_t>& rows) const {
  const auto before = [&](std::uint32_t a, std::uint32_t b) {
    const ScanEntry& x = tree_[a];
    const ScanEntry& y = tree_[b];
    // The aggregate is what is left of a directory: always last.
    if (x.isAggregate != y.isAggregate) return y.isAggregate;
    switch (order_) {
      case SortOrder::size:
        return x.allocatedSize > y.allocatedSize;
      case SortOrder::name:
        return nameLess(x.name, y.name);
      case SortOrder::itemCount:
        return itemCount(x) > itemCount(y);
      case SortOrder::modificationDate:
        if (x.hasDate != y.hasDate) return x.hasDate;
        return x.modificationDate > y.modificationDate;
    }
    return false;
  };
  // Equal entries keep the order the helper sent, which is index order.
  std::sort(rows.begin(), rows.end(), [&](std::uint32_t a, std::uint32_t b) {
    return before(a, b) || (!before(b, a) && a < b);
  });
}

void BrowseModel::resort(SortOrder order) {
  order_ = order;
  for (Level& level : levels_) {
    const std::uint32_t selected = level.rows.empty() ? 0 : level.rows[level.selected];
    sortRows(level.rows);
    const auto at = std::find(level.rows.begin(), level.rows.end(), selected);
    level.selected = at == level.rows.end() ? 0 : static_cast<std::size_t>(at - level.rows.begin());
  }
}

void BrowseModel::move(std::ptrdiff_t delta) {
  Level& level = levels_.back();
  if (level.rows.empty()) return;
  const auto last = static_cast<std::ptrdiff_t>(level.rows.size()) - 1;
  level.selected = static_cast<std::size_t>(
      std::clamp(static_cast<std::ptrdiff_t>(level.selected) + delta, std::ptrdiff_t{0}, last));
}

void BrowseModel::openSelected() {
  const Level& level = levels_.back();
  if (level.rows.empty()) return;
  const std::uint32_t index = level.rows[level.selected];
  const ScanEntry& entry = tree_[index];
  if (entry.isAggregate) {
    status_ =
        "[" + displayEscaped(entry.name) + "] are small entries merged into one: nothing to open";
  } else if (!entry.isDirectory) {
    status_ = displayEscaped(entry.name) + " is a file";
  } else {
    levels_.push_back(makeLevel(index));
  }
}

BrowseAction BrowseModel::press(BrowseKey key) {
  status_.clear();
  if (isShowingHelp_) {
    isShowingHelp_ = false;
    return key == BrowseKey::quit ? BrowseAction::quit : BrowseAction::none;
  }
  constexpr std::ptrdiff_t far = 1 << 30;
  switch (key) {
    case BrowseKey::up:
      move(-1);
      break;
    case BrowseKey::down:
      move(1);
      break;
    case BrowseKey::pageUp:
      move(-pageRows_);
      break;
    case BrowseKey::pageDown:
      move(pageRows_);
      break;
    case BrowseKey::first:
      move(-far);
      break;
    case BrowseKey::last:
      move(far);
      break;
    case BrowseKey::open:
      openSelected();
      break;
    case BrowseKey::back:
      if (levels_.size() > 1) {
        levels_.pop_back();
      } else {
        status_ = "this is the walked directory: walk a parent to go higher";
      }
      break;
    case BrowseKey::sortBySize:
      resort(SortOrder::size);
      break;
    case BrowseKey::sortByName:
      resort(SortOrder::name);
      break;
    case BrowseKey::sortByItemCount:
      resort(SortOrder::itemCount);
      break;
    case BrowseKey::sortByDate:
      resort(SortOrder::modificationDate);
      break;
    case BrowseKey::help:
      isShowingHelp_ = true;
      break;
    case BrowseKey::rewalk:
      return BrowseAction::rewalk;
    case BrowseKey::quit:
      return BrowseAction::quit;
    case BrowseKey::other:
      break;
  }
  return BrowseAction::none;
}

void BrowseModel::replaceTree(ScanTree tree) {
  struct Place {
    std::string directory;  // name of the entered directory (unused for the root)
    std::string selected;
    std::size_t selectedIndex;
  };
  std::vector<Place> places;
  places.reserve(levels_.size());
  for (const Level& level : levels_) {
    places.push_back(
        {std::string(tree_[level.directory].name),
         level.rows.empty() ? std::string() : std::string(tree_[level.rows[level.selected]].name),
         level.selected});
  }
  tree_ = std::move(tree);
  levels_.clear();
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (i > 0) {
      const Level& parent = levels_.back();
      const auto at = std::find_if(parent.rows.begin(), parent.rows.end(), [&](std::uint32_t row) {
        return tree_[row].isDirectory && tree_[row].name == places[i].directory;
      });
      if (at == parent.rows.end()) break;
      levels_.push_back(makeLevel(*at));
    } else {
      levels_.push_back(makeLevel(ScanTree::rootIndex()));
    }
    Level& level = levels_.back();
    const auto selected =
        std::find_if(level.rows.begin(), level.rows.end(),
                     [&](std::uint32_t row) { return tree_[row].name == places[i].selected; });
    level.selected =
        selected != level.rows.end()
            ? static_cast<std::size_t>(selected - level.rows.begin())
            : std::min(places[i].selectedIndex, level.rows.empty() ? 0 : level.rows.size() - 1);
  }
  // The selection of a level that was left must be the directory entered
  // below it, as it was before.
  for (std::size_t i = 0; i + 1 < levels_.size(); ++i) {
    Level& level = levels_[i];
    const auto at = std::find(level.rows.begin(), level.rows.end(), levels_[i + 1].directory);
    level.selected = static_cast<std::size_t>(at - level.rows.begin());
  }
}

void BrowseModel::setStatus(std::string_view message) { status_ = displayEscaped(message); }

std::string BrowseModel::currentPath() const {
  std::string path = tree_.rootPath().empty() ? std::string(tree_.root().name) : tree_.rootPath();
  for (std::size_t i = 1; i < levels_.size(); ++i) {
    if (!path.ends_with('/')) path += '/';
    path += tree_[levels_[i].directory].name;
  }
  return path;
}

std::string BrowseModel::rowText(std::uint32_t index, int width) const {
  const ScanEntry& entry = tree_[index];
  const double parentSize = static_cast<double>(tree_[levels_.back().directory].allocatedSize);
  const double share = parentSize > 0 ? static_cast<double>(entry.allocatedSize) / parentSize : 0;
  std::string line = padLeft(formatByteSize(entry.allocatedSize), sizeColumns);
  line += ' ';
  line += formatShare(share);
  line += ' ';
  if (width >= 60) {
    line += shareBar(share, width >= 100 ? 20 : 10);
    line += ' ';
  }
  if (order_ == SortOrder::modificationDate && width >= 60) {
    line += formatDate(entry);
    line += ' ';
  }
  std::string name =
      entry.isAggregate ? "[" + displayEscaped(entry.name) + "]" : displayEscaped(entry.name);
  if (entry.isDirectory) name += '/';
  std::string counts;
  if (width >= 72 && (entry.isDirectory || entry.isAggregate)) {
    counts = "  (" + std::string(entry.isAggregate ? "merged: " : "") + formatCounts(entry) + ")";
  }
  const int room = width - displayWidth(line);
  const int countsWidth = displayWidth(counts);
  if (!counts.empty() && displayWidth(name) + countsWidth > room) {
    if (room - countsWidth < leastNameColumns) counts.clear();
  }
  line += fitToColumns(name, room - displayWidth(counts));
  line += counts;
  return fitToColumns(line, width);
}

void BrowseModel::renderRows(int width, int rowCount, BrowseScreen& screen) {
  Level& level = levels_.back();
  if (isShowingHelp_) {
    for (int i = 0; i < rowCount; ++i) {
      screen.lines.push_back(i < static_cast<int>(help.size()) ? fitToColumns(help[i], width)
                                                               : std::string());
    }
    return;
  }
  if (level.rows.empty()) {
    const bool isDirectory = tree_[level.directory].isDirectory;
    for (int i = 0; i < rowCount; ++i) {
      screen.lines.push_back(
          i > 0 ? std::string()
                : fitToColumns(isDirectory ? "  (empty directory)" : "  (a file, not a directory)",
                               width));
    }
    return;
  }
  if (level.selected < level.top) level.top = level.selected;
  if (rowCount > 0 && level.selected >= level.top + static_cast<std::size_t>(rowCount)) {
    level.top = level.selected + 1 - static_cast<std::size_t>(rowCount);
  }
  // After a resize to a taller screen, fill it rather than leave rows blank.
  const std::size_t fullTop =
      level.rows.size() > static_cast<std::size_t>(rowCount) ? level.rows.size() - rowCount : 0;
  level.top = std::min(level.top, fullTop);
  for (int i = 0; i < rowCount; ++i) {
    const std::size_t row = level.top + static_cast<std::size_t>(i);
    if (row >= level.rows.size()) {
      screen.lines.emplace_back();
      continue;
    }
    const bool isSelected = row == level.selected;
    if (isSelected) screen.highlightedLine = static_cast<int>(screen.lines.size());
    std::string line = isSelected ? ">" : " ";
    line += rowText(level.rows[row], width - 1);
    screen.lines.push_back(fitToColumns(line, width));
  }
}

BrowseScreen BrowseModel::render(int width, int height) {
  BrowseScreen screen;
  if (height <= 0) return screen;
  width = std::max(width, 0);
  const ScanEntry& directory = tree_[levels_.back().directory];
  std::vector<std::string> header = {
      fitTailToColumns(displayEscaped(currentPath()), width),
      fitToColumns(formatByteSize(directory.allocatedSize) + "  " + formatCounts(directory) +
                       "  \u00b7 " + std::string(orderName(order_)),
                   width),
  };
  for (int i = 0; i < std::min(height, headerLines); ++i) screen.lines.push_back(header[i]);
  const int rowCount = height - headerLines - footerLines;
  pageRows_ = std::max(rowCount - 1, 1);
  if (rowCount > 0) renderRows(width, rowCount, screen);
  if (height > headerLines) {
    const std::string_view hints = width >= 70 ? "\u2191\u2193 move  \u23ce open  \u232b back  s n "
                                                 "c m sort  r walk again  ? help  q quit"
                                               : "? help  q quit  \u23ce open  \u232b back";
    screen.lines.push_back(fitToColumns(status_.empty() ? hints : status_, width));
  }
  return screen;
}

BrowseScreen renderWalking(std::string_view path, double seconds, int width, int height) {
  BrowseScreen screen;
  if (height <= 0) return screen;
  const std::string elapsed = "walking\u2026 " + formatFixed(seconds, 1) + " s";
  screen.lines.push_back(fitTailToColumns(displayEscaped(path), std::max(width, 0)));
  for (int i = 1; i < height; ++i) {
    const std::string_view text = i == 1            ? std::string_view(elapsed)
                                  : i == height - 1 ? std::string_view("q quit")
                                                    : std::string_view();
    screen.lines.push_back(fitToColumns(text, std::max(width, 0)));
  }
  return screen;
}

}  // namespace kelmarind::client
