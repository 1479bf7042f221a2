// Memory for one request's large, short-lived structures, taken from big
// anonymous mappings, so building a tree of many small records costs no
// per-record allocation or free.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

namespace kelmarind::platform {

// A bump allocator: deallocation does nothing, and everything is returned to
// the system when the arena is destroyed, so every container using it must be
// gone (or never touched again) by then. rewind() gives back, for reuse,
// everything allocated after a mark, which suits memory used in stack order.
// Mappings are made on first use; running out of memory throws std::bad_alloc
// as any allocation would. Not thread-safe: one request, one thread.
class PageArena final : public std::pmr::memory_resource {
 public:
  struct Mark {
    std::size_t chunk = 0;
    std::size_t offset = 0;
  };

  PageArena() = default;
  ~PageArena() override;
  PageArena(const PageArena&) = delete;
  PageArena& operator=(const PageArena&) = delete;

  [[nodiscard]] Mark mark() const { return {current_, offset_}; }
  // Everything allocated since `mark` (taken from this arena, not rewound
  // past since) must be unused: its memory is handed out again.
  void rewind(Mark mark) noexcept;

 private:
  struct Chunk {
    char* base;
    std::size_t size;
  };

  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
  void* allocateInNextChunk(std::size_t bytes, std::size_t alignment);

  std::vector<Chunk> chunks_;
  std::size_t current_ = 0;  // index in chunks_ of the chunk being filled
  std::size_t offset_ = 0;   // bytes used in that chunk
};

}  // namespace kelmarind::platform
