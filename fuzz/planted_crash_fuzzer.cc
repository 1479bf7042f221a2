// Not a fuzzer of the project's code: it overruns a buffer on the input
// "plant" (its seed corpus holds it), so script/test can show that
// script/fuzz fails, with a symbolized report, when a fuzzer finds a crash.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 5 && std::memcmp(data, "plant", 5) == 0) {
    auto buffer = std::make_unique<char[]>(4);
    std::memcpy(buffer.get(), data, size);
    return buffer[0];
  }
  return 0;
}
