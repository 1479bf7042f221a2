#include "platform/linux/released_send.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmarind::platform::linux {
namespace {

// Several slices and an odd tail reach the
// receiver whole and in order whatever sizes the receiver takes at a time,
// and the sender's copy is released behind it.
TEST(SendReleasingTest, DeliversEveryByteThroughShortAndInterruptedSends) {
  const std::size_t size = 5 * sendSlice / 2 + 12'345;
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i * 7 % 26);
  const std::string expected = bytes;

  std::string received;
  int call = 0;
  auto sent = sendReleasing(bytes, "send", [&](const char* data, std::size_t count) -> ssize_t {
    ++call;
    if (call % 5 == 0) {  // interrupted before anything was taken
      errno = EINTR;
      return -1;
    }
    const std::size_t taken = call % 3 == 0 ? std::min<std::size_t>(count, 4097) : count;
    received.append(data, taken);
    return static_cast<ssize_t>(taken);
  });
  EXPECT_TRUE(sent.has_value());
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  // Released whole pages read as zeros; only the partial pages at the ends
  // keep their bytes.
  EXPECT_EQ(bytes[size / 2], '\0');
}

TEST(SendReleasingTest, StopsAtTheFirstFailureWithItsError) {
  std::string bytes(3 * sendSlice / 2, 'x');
  int calls = 0;
  const auto sent = sendReleasing(bytes, "send", [&](const char*, std::size_t count) -> ssize_t {
    if (++calls == 2) {
      errno = EPIPE;
      return -1;
    }
    return static_cast<ssize_t>(count);
  });
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().code, EPIPE);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(sendReleasing({}, "send", [](const char*, std::size_t) -> ssize_t { return -1; }));
}

}  // namespace
}  // namespace kelmarind::platform::linux
