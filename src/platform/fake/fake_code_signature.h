// A code signature whose team the test chooses, recording how often it was asked.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <utility>

#include "platform/code_signature.h"

namespace kelmarind::platform::fake {

class FakeCodeSignature final : public CodeSignature {
 public:
  explicit FakeCodeSignature(std::optional<std::string> team) : team_(std::move(team)) {}

  // Answers the team given at construction. Thread-safe.
  [[nodiscard]] std::optional<std::string> teamIdentifier() const override {
    lookupCount_.fetch_add(1, std::memory_order_relaxed);
    return team_;
  }

  [[nodiscard]] int lookupCount() const { return lookupCount_.load(std::memory_order_relaxed); }

 private:
  const std::optional<std::string> team_;
  mutable std::atomic<int> lookupCount_ = 0;
};

}  // namespace kelmarind::platform::fake
