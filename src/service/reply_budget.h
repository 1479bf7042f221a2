// The memory all documents in flight may take at once. A walk's document is
// sized before any of it is allocated; the size is reserved here first.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <expected>
#include <mutex>

namespace kelmarind::service {

// Thread-safe; shared by every connection. Must outlive its reservations.
class ReplyBudget final {
 public:
  // A share of the budget, given back when destroyed. Move-only.
  class Reservation final {
   public:
    Reservation(Reservation&& other) noexcept;
    Reservation& operator=(Reservation&&) = delete;
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation();

   private:
    friend class ReplyBudget;
    Reservation(ReplyBudget& budget, std::size_t size) : budget_(&budget), size_(size) {}
    ReplyBudget* budget_;
    std::size_t size_;
  };

  explicit ReplyBudget(std::size_t capacity) : capacity_(capacity) {}
  ReplyBudget(const ReplyBudget&) = delete;
  ReplyBudget& operator=(const ReplyBudget&) = delete;

  // `size` of the budget, once that much is free: waits while other replies
  // hold it. Fails at once, with the capacity, when `size` exceeds the whole
  // budget, which no waiting would change.
  [[nodiscard]] std::expected<Reservation, std::size_t> reserve(std::size_t size);

  [[nodiscard]] std::size_t capacity() const { return capacity_; }

 private:
  void release(std::size_t size);

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable released_;
  std::size_t reserved_ = 0;
};

}  // namespace kelmarind::service
