// The terminal browser's curses front end: draws BrowseModel's screens and
// turns keys into BrowseKey. Walks run on a thread of their own, so the screen
// shows their time so far and q leaves at any moment.
#pragma once

#include <expected>
#include <functional>
#include <string>

#include "client/scan_tree.h"

namespace kelmarind::client {

struct WalkFailure {
  int exitStatus;
  std::string message;  // for stderr, as it is
};

// One walk through the helper, read into a tree.
using TreeWalk = std::function<std::expected<ScanTree, WalkFailure>()>;

// Browses `path` on the terminal of stdin and stdout until the person quits;
// returns the exit status. `walk` runs on a separate thread, once at the
// start and again for each `r`. It must not touch the terminal, and it may
// be abandoned when the person quits during a walk: the thread is left
// running until the process ends, holding only a copy of `walk` and what that
// captured by value. A failed first walk ends the browser with its message
// on stderr (after the terminal is restored) and its status; a failed later
// walk is shown on the status line and the old tree kept.
[[nodiscard]] int runBrowser(const std::string& path, const TreeWalk& walk);

}  // namespace kelmarind::client
