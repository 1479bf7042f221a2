#include "service/reply_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>

namespace kelmarind::service {
namespace {

TEST(ReplyBudgetTest, WaitsForRoomAndRefusesMoreThanTheWholeAtOnce) {
  ReplyBudget budget(100);
  const auto tooLarge = budget.reserve(101);
  ASSERT_FALSE(tooLarge.has_value());
  EXPECT_EQ(tooLarge.error(), 100u);
  std::optional<ReplyBudget::Reservation> held;
  held.emplace(*budget.reserve(60));
  auto waiting = std::async(std::launch::async, [&] { return budget.reserve(50).has_value(); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  held.reset();
  EXPECT_TRUE(waiting.get());
  EXPECT_TRUE(budget.reserve(100).has_value()) << "every reservation given back";
}

}  // namespace
}  // namespace kelmarind::service
