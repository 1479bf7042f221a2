// Runs one command and measures it the way the comparison reports it: wall
// time, CPU time and peak resident memory of the child.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace kelmarind::bench {

struct Measurement {
  double wallSeconds = 0;  // from spawning to reaping
  double cpuSeconds = 0;   // user plus system time of the child and its reaped children
  std::int64_t maxResidentKib = 0;
  int exitStatus = 0;  // the exit code, or 128 + the signal that ended it
};

// Runs `command` (its first word looked up in PATH) with stdout sent to
// `stdoutPath`, created or truncated, and waits for it. The peak memory is
// the larger of the command's and the calling process's own peak: the kernel
// counts the spawner's memory into the child's record when the child starts
// its program. Measure from a small process (kelmarind-measure: 2.4 MiB). Fails only when the
// command cannot be started or waited for; a command that fails is a
// Measurement with its exit status. Blocks; not for use with other children
// of the process being reaped elsewhere.
[[nodiscard]] std::expected<Measurement, platform::OsError> measureCommand(
    const std::vector<std::string>& command, const std::string& stdoutPath);

}  // namespace kelmarind::bench
