// The identities a walk has met (a hard-linked file's inode, an entered
// directory's device and inode): tens of thousands are inserted per walk and
// each is looked up once, so they live in one flat table with no allocation
// per entry, not in a node per identity.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmarind::walk {

// `Hash` gives an identity's 64 bits, which need not be spread: the set
// spreads them itself.
template <typename Identity, typename Hash>
class IdentitySet {
 public:
  // False when `identity` was inserted before.
  bool insert(const Identity& identity) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = slotOf(identity, mask);; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (!slot.isUsed) {
        slot = Slot{identity, true};
        ++size_;
        return true;
      }
      if (slot.identity == identity) return false;
    }
  }

 private:
  struct Slot {
    Identity identity{};
    bool isUsed = false;
  };

  // Fibonacci hashing: the top bits of the product spread inodes that are
  // close together, as a directory's are, over the whole table.
  static std::size_t slotOf(const Identity& identity, std::size_t mask) {
    const std::uint64_t bits = Hash{}(identity);
    const std::uint64_t product = bits * 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>(product >> (64 - std::countr_zero(mask + 1))) & mask;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : 2 * old.size(), Slot{});
    size_ = 0;
    for (const Slot& slot : old) {
      if (slot.isUsed) insert(slot.identity);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace kelmarind::walk
