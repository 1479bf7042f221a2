// A code signature whose team and verdict on requirements the test chooses,
// recording how often the team was asked and which requirement was judged.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/code_signature.h"

namespace kelmarind::platform::fake {

class FakeCodeSignature final : public CodeSignature {
 public:
  explicit FakeCodeSignature(std::optional<std::string> team, bool isRequirementValid = true)
      : team_(std::move(team)), isRequirementValid_(isRequirementValid) {}

  // Answers the team given at construction. Thread-safe.
  [[nodiscard]] std::optional<std::string> teamIdentifier() const override {
    lookupCount_.fetch_add(1, std::memory_order_relaxed);
    return team_;
  }

  // Answers the verdict given at construction. Thread-safe.
  [[nodiscard]] bool isValidRequirement(std::string_view requirement) const override {
    const std::lock_guard lock(mutex_);
    judgedRequirement_ = std::string(requirement);
    return isRequirementValid_;
  }

  [[nodiscard]] std::string judgedRequirement() const {
    const std::lock_guard lock(mutex_);
    return judgedRequirement_;
  }
  [[nodiscard]] int lookupCount() const { return lookupCount_.load(std::memory_order_relaxed); }

 private:
  const std::optional<std::string> team_;
  const bool isRequirementValid_;
  mutable std::atomic<int> lookupCount_ = 0;
  mutable std::mutex mutex_;
  mutable std::string judgedRequirement_;
};

}  // namespace kelmarind::platform::fake
