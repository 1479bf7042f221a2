#include "bench/synthetic_nodes.h"

#include <bit>
#include <string>
#include <utility>

namespace kelmarind::bench {
namespace {

using walk::PrivilegedNode;

class SizeSource final {
 public:
  explicit SizeSource(SizeMix mix) : mix_(mix) {}

  std::int64_t next() {
    const std::uint64_t r = random();
    switch (mix_) {
      case SizeMix::uniform:
        return 4096;
      case SizeMix::tinyMajority:
        return r % 50 == 0 ? std::int64_t{64} << 20 : static_cast<std::int64_t>(r % 8) * 512;
      case SizeMix::heavyTail:
        // 4 KiB times a power of two between 2^0 and 2^15, low powers likeliest.
        return std::int64_t{4096} << (std::countr_zero(r | (std::uint64_t{1} << 15)));
    }
    return 0;
  }

 private:
  std::uint64_t random() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }

  const SizeMix mix_;
  std::uint64_t state_ = 42;
};

PrivilegedNode leaf(const std::string& directory, std::size_t index, std::int64_t size) {
  std::pmr::string name(std::string_view("file-" + std::to_string(index) + ".dat"));
  std::pmr::string path(std::string_view(directory + "/" + std::string(name)));
  return PrivilegedNode{std::move(name), std::move(path), false, size, 0, 1,
                        788918400.5,     false,           {}};
}

PrivilegedNode directory(std::pmr::string path, std::pmr::vector<PrivilegedNode> children) {
  PrivilegedNode node{path.substr(path.rfind('/') + 1),
                      std::move(path),
                      true,
                      0,
                      1,
                      0,
                      788918400.25,
                      false,
                      std::move(children)};
  for (const PrivilegedNode& child : node.children) {
    node.allocatedSize += child.allocatedSize;
    node.folderCount += child.folderCount;
    node.fileCount += child.fileCount;
  }
  return node;
}

PrivilegedNode makeSubtree(const std::string& path, int depth, int fanOut, int files,
                           SizeSource& sizes) {
  std::pmr::vector<PrivilegedNode> children;
  for (int i = 0; depth > 1 && i < fanOut; ++i) {
    children.push_back(
        makeSubtree(path + "/dir-" + std::to_string(i), depth - 1, fanOut, files, sizes));
  }
  for (int i = 0; i < files; ++i) {
    children.push_back(leaf(path, static_cast<std::size_t>(i), sizes.next()));
  }
  return directory(std::pmr::string(std::string_view(path)), std::move(children));
}

}  // namespace

std::pmr::vector<PrivilegedNode> makeLeaves(std::size_t count, SizeMix mix) {
  SizeSource sizes(mix);
  std::pmr::vector<PrivilegedNode> leaves;
  leaves.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    leaves.push_back(leaf("/var/lib/kelmarind/bench", i, sizes.next()));
  }
  return leaves;
}

PrivilegedNode makeTree(int depth, int fanOut, int filesPerDirectory) {
  SizeSource sizes(SizeMix::heavyTail);
  return makeSubtree("/srv/bench", depth, fanOut, filesPerDirectory, sizes);
}

std::int64_t nodeCount(const PrivilegedNode& root) {
  std::int64_t count = 1;
  for (const PrivilegedNode& child : root.children) count += nodeCount(child);
  return count;
}

}  // namespace kelmarind::bench
