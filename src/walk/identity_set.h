// The identities a walk has met (a hard-linked file's identifier, an entered
// directory's inode): tens of thousands are inserted per walk and each is
// looked up once, so they live in one flat table of bare 64-bit values, with
// no allocation per entry and no flag beside each: the table's pages are
// fresh memory, and each one costs the walk a page fault.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelmarind::walk {

class IdentitySet {
 public:
  // False when `identity` was inserted before.
  bool insert(std::uint64_t identity) {
    // Zero marks a free slot, so it is kept apart.
    if (identity == 0) return !std::exchange(hasZero_, true);
    if (2 * (size_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = slotOf(identity, mask);; at = (at + 1) & mask) {
      std::uint64_t& slot = slots_[at];
      if (slot == 0) {
        slot = identity;
        ++size_;
        return true;
      }
      if (slot == identity) return false;
    }
  }

 private:
  // Fibonacci hashing: the top bits of the product spread inodes that are
  // close together, as a directory's are, over the whole table.
  static std::size_t slotOf(std::uint64_t identity, std::size_t mask) {
    const std::uint64_t product = identity * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(product >> (64 - std::countr_zero(mask + 1))) & mask;
  }

  void grow() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : 2 * old.size(), 0);
    size_ = 0;
    for (const std::uint64_t identity : old) {
      if (identity != 0) insert(identity);
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t size_ = 0;
  bool hasZero_ = false;
};

}  // namespace kelmarind::walk
