// Whether this build runs under ThreadSanitizer, which tracks descriptors by
// number for the whole process: it takes equal numbers in two threads'
// separate descriptor tables for one descriptor, and reports their uses as
// races.
#pragma once

namespace kelmarind::platform::linux {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool isUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool isUnderThreadSanitizer = true;
#else
inline constexpr bool isUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool isUnderThreadSanitizer = false;
#endif

}  // namespace kelmarind::platform::linux
