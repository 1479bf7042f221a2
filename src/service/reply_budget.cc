#include "service/reply_budget.h"

#include <utility>

namespace kelmarind::service {

ReplyBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), size_(other.size_) {}

ReplyBudget::Reservation::~Reservation() {
  if (budget_ != nullptr) budget_->release(size_);
}

std::expected<ReplyBudget::Reservation, std::size_t> ReplyBudget::reserve(std::size_t size) {
  if (size > capacity_) return std::unexpected(capacity_);
  std::unique_lock lock(mutex_);
  released_.wait(lock, [&] { return capacity_ - reserved_ >= size; });
  reserved_ += size;
  return Reservation(*this, size);
}

void ReplyBudget::release(std::size_t size) {
  {
    std::lock_guard lock(mutex_);
    reserved_ -= size;
  }
  released_.notify_all();
}

}  // namespace kelmarind::service
