// The terminal browser without the terminal: where the person is in the
// tree, what the keys do, and the text of every screen line. The curses
// front end (browse_terminal.h) only turns keys into BrowseKey and draws the
// lines it is given, so everything here is tested without a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/scan_tree.h"

namespace kelmarind::client {

enum class SortOrder : std::uint8_t { size, name, itemCount, modificationDate };

enum class BrowseKey : std::uint8_t {
  up,
  down,
  pageUp,
  pageDown,
  first,
  last,
  open,
  back,
  sortBySize,
  sortByName,
  sortByItemCount,
  sortByDate,
  help,
  rewalk,
  quit,
  other,  // any other key: closes the help, does nothing else
};

enum class BrowseAction : std::uint8_t { none, rewalk, quit };

struct BrowseScreen {
  // Exactly the requested height; none wider than the requested width in
  // terminal columns; names escaped, so no line holds a control character.
  std::vector<std::string> lines;
  int highlightedLine = -1;  // the selected row, or -1
};

// Not thread-safe. Holds the tree it browses.
class BrowseModel final {
 public:
  explicit BrowseModel(ScanTree tree);

  // What the key asks of the caller beyond the model's own change.
  BrowseAction press(BrowseKey key);

  // The tree walked again: the same directory stays open, and the same entry
  // selected, as far as they still exist (matched by name).
  void replaceTree(ScanTree tree);

  // A one-line message in place of the key hints until the next key; shown
  // escaped.
  void setStatus(std::string_view message);

  // The screen at this size. Scrolls so that the selection stays in view,
  // which is why it is not const. Any size, down to 0 × 0.
  [[nodiscard]] BrowseScreen render(int width, int height);

  [[nodiscard]] const ScanTree& tree() const { return tree_; }
  [[nodiscard]] SortOrder sortOrder() const { return order_; }
  // The open directory's path as shown in the header, unescaped: the walked
  // path followed by the names of the directories entered.
  [[nodiscard]] std::string currentPath() const;

 private:
  struct Level {
    std::uint32_t directory;
    std::vector<std::uint32_t> rows;  // its children, in the current order
    std::size_t selected = 0;
    std::size_t top = 0;  // first row on screen
  };

  [[nodiscard]] Level makeLevel(std::uint32_t directory) const;
  void sortRows(std::vector<std::uint32_t>& rows) const;
  void resort(SortOrder order);
  void move(std::ptrdiff_t delta);
  void openSelected();
  [[nodiscard]] std::string rowText(std::uint32_t index, int width) const;
  void renderRows(int width, int rowCount, BrowseScreen& screen);

  ScanTree tree_;
  std::vector<Level> levels_;
  SortOrder order_ = SortOrder::size;
  bool isShowingHelp_ = false;
  std::string status_;
  int pageRows_ = 1;
};

// The screen shown while the helper walks `path`: the path, the time so far
// and how to leave.
[[nodiscard]] BrowseScreen renderWalking(std::string_view path, double seconds, int width,
                                         int height);

}  // namespace kelmarind::client
