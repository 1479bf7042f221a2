#include "client/browse_terminal.h"

#include <curses.h>
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "client/browse_model.h"
#include "client/scan_options.h"

namespace kelmarind::client {
namespace {

using WalkResult = std::expected<ScanTree, WalkFailure>;

// What the walk thread hands back. Shared, so that a thread abandoned by a
// person who quit still writes into memory it owns.
struct PendingWalk {
  std::mutex mutex;
  std::optional<WalkResult> result;
};

std::shared_ptr<PendingWalk> startWalk(const TreeWalk& walk) {
  auto pending = std::make_shared<PendingWalk>();
  std::thread([pending, walk] {
    WalkResult result = walk();
    const std::lock_guard lock(pending->mutex);
    pending->result = std::move(result);
  }).detach();
  return pending;
}

// The curses session; the terminal is restored when it ends.
class Terminal final {
 public:
  static std::unique_ptr<Terminal> open() {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) return nullptr;
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) return nullptr;
    return std::unique_ptr<Terminal>(new Terminal(screen));
  }
  ~Terminal() {
    endwin();
    delscreen(screen_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

 private:
  explicit Terminal(SCREEN* screen) : screen_(screen) {
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
  }
  SCREEN* screen_;
};

void draw(const BrowseScreen& screen) {
  erase();
  for (int i = 0; i < static_cast<int>(screen.lines.size()) && i < LINES; ++i) {
    const bool isHighlighted = i == screen.highlightedLine;
    if (isHighlighted) attron(A_REVERSE);
    mvaddstr(i, 0, screen.lines[i].c_str());
    if (isHighlighted) {
      const int x = getcurx(stdscr);
      if (x < COLS) hline(' ', COLS - x);
      attroff(A_REVERSE);
    }
  }
  refresh();
}

BrowseKey keyFor(int key) {
  switch (key) {
    case KEY_UP:
    case 'k':
      return BrowseKey::up;
    case KEY_DOWN:
    case 'j':
      return BrowseKey::down;
    case KEY_PPAGE:
      return BrowseKey::pageUp;
    case KEY_NPAGE:
    case ' ':
      return BrowseKey::pageDown;
    case KEY_HOME:
    case 'g':
      return BrowseKey::first;
    case KEY_END:
    case 'G':
      return BrowseKey::last;
    case KEY_ENTER:
    case '\n':
    case '\r':
    case KEY_RIGHT:
    case 'l':
      return BrowseKey::open;
    case KEY_BACKSPACE:
    case 127:
    case 8:
    case KEY_LEFT:
    case 'h':
      return BrowseKey::back;
    case 's':
      return BrowseKey::sortBySize;
    case 'n':
      return BrowseKey::sortByName;
    case 'c':
      return BrowseKey::sortByItemCount;
    case 'm':
      return BrowseKey::sortByDate;
    case '?':
      return BrowseKey::help;
    case 'r':
      return BrowseKey::rewalk;
    case 'q':
      return BrowseKey::quit;
    default:
      return BrowseKey::other;
  }
}

// Shows the walk's time until it ends; nullopt when the person pressed q.
std::optional<WalkResult> awaitWalk(const TreeWalk& walk, const std::string& path) {
  const std::shared_ptr<PendingWalk> pending = startWalk(walk);
  const auto start = std::chrono::steady_clock::now();
  // Short waits for a key, so that the end of the walk is seen at once;
  // curses sends only what changed, so drawing this often costs little.
  timeout(20);
  while (true) {
    {
      const std::lock_guard lock(pending->mutex);
      if (std::optional<WalkResult>& result = pending->result) {
        timeout(-1);
        return std::move(result);
      }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    draw(renderWalking(path, elapsed.count(), COLS, LINES));
    if (getch() == 'q') return std::nullopt;
  }
}

// Names are drawn as UTF-8 whatever the locale says, as the printed view
// writes them; curses needs a UTF-8 character type to measure them.
void useUtf8Locale() {
  // A locale the environment names but the system lacks leaves "C", which the
  // codeset check below then replaces like any other.
  (void)::setlocale(LC_ALL, "");
  if (std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0) return;
  // A system without C.UTF-8 still browses; curses then shows the bytes of
  // names that are not ASCII as escapes of its own.
  (void)::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

int runBrowser(const std::string& path, const TreeWalk& walk) {
  useUtf8Locale();
  std::unique_ptr<Terminal> terminal = Terminal::open();
  if (!terminal) {
    // Nothing is left to report a failure to write stderr to; the status says it.
    (void)std::fputs("kelmarind-scan: --browse needs a terminal on stdin and stdout\n", stderr);
    return exitUsage;
  }
  std::optional<WalkResult> first = awaitWalk(walk, path);
  if (!first) return exitSuccess;
  if (!*first) {
    terminal.reset();
    (void)std::fprintf(stderr, "%s\n", first->error().message.c_str());
    return first->error().exitStatus;
  }
  BrowseModel model(std::move(**first));
  while (true) {
    draw(model.render(COLS, LINES));
    const int key = getch();
    if (key == KEY_RESIZE || key == ERR) continue;  // the next render takes the new size
    switch (model.press(keyFor(key))) {
      case BrowseAction::none:
        break;
      case BrowseAction::quit:
        return exitSuccess;
      case BrowseAction::rewalk: {
        std::optional<WalkResult> again = awaitWalk(walk, path);
        if (!again) return exitSuccess;
        if (*again) {
          model.replaceTree(std::move(**again));
        } else {
          model.setStatus(again->error().message);
        }
        break;
      }
    }
  }
}

}  // namespace kelmarind::client
