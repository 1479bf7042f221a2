#include "platform/page_arena.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "platform/fresh_pages.h"

namespace kelmarind::platform {
namespace {

// Address space is cheap and only touched pages count, so chunks are large:
// most walks never need a second one.
constexpr std::size_t chunkSize = std::size_t{64} << 20;

// Out of memory is std::bad_alloc here, as for any other allocation.
char* mapAligned(std::size_t size) {
  char* base = mapPages(size);
  if (base == nullptr) throw std::bad_alloc();
  return base;
}

}  // namespace

PageArena::~PageArena() {
  for (const Chunk& chunk : chunks_) unmapPages(chunk.base, chunk.size);
}

void PageArena::rewind(Mark mark) noexcept {
  current_ = mark.chunk;
  offset_ = mark.offset;
}

void* PageArena::do_allocate(std::size_t bytes, std::size_t alignment) {
  if (current_ < chunks_.size()) {
    const std::size_t start = roundUp(offset_, alignment);
    if (start + bytes <= chunks_[current_].size) {
      offset_ = start + bytes;
      return chunks_[current_].base + start;
    }
  }
  return allocateInNextChunk(bytes, alignment);
}

// Moves on to the next chunk kept from before a rewind when the request fits
// there, or maps a new one in its place.
void* PageArena::allocateInNextChunk(std::size_t bytes, std::size_t alignment) {
  const std::size_t next = chunks_.empty() ? 0 : current_ + 1;
  const std::size_t needed = bytes + alignment;
  if (next == chunks_.size() || chunks_[next].size < needed) {
    const std::size_t size = roundUp(std::max(needed, chunkSize), mappingGranule);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(next), {mapAligned(size), size});
  }
  current_ = next;
  offset_ = 0;
  return do_allocate(bytes, alignment);
}

}  // namespace kelmarind::platform
