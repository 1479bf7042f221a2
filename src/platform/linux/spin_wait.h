// Waiting for another thread's next few microseconds of work: checking a
// while costs less than sleeping and being woken.
#pragma once

namespace kelmarind::platform::linux {

// Checks of a condition before sleeping on it: about the time of one statx.
inline constexpr int spinsBeforeSleeping = 200;

// Tells the processor that this thread is only waiting, between two checks.
inline void pauseBriefly() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace kelmarind::platform::linux
