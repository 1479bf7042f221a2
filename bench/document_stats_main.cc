// kelmarind-docstats FILE: reads a walk document and prints the root's sums
// and how many nodes (and aggregate nodes) survived coalescing, so the walk's
// totals can be checked against the floor's and its memory put per node.
#include <simdjson.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  simdjson::padded_string text;
  if (auto error = simdjson::padded_string::load(argv[1]).get(text); error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], simdjson::error_message(error));
    return 1;
  }
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (auto error = parser.parse(text).get_object().get(root); error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], simdjson::error_message(error));
    return 1;
  }
  std::int64_t nodeCount = 0;
  std::int64_t aggregateCount = 0;
  std::vector<simdjson::dom::object> pending{root};
  while (!pending.empty()) {
    const simdjson::dom::object node = pending.back();
    pending.pop_back();
    ++nodeCount;
    bool isAggregate = false;
    simdjson::dom::array children;
    if (node["isAggregate"].get(isAggregate) || node["children"].get(children)) {
      std::fprintf(stderr, "%s: a node lacks isAggregate or children\n", argv[1]);
      return 1;
    }
    aggregateCount += isAggregate ? 1 : 0;
    for (simdjson::dom::element child : children) pending.push_back(child.get_object());
  }
  std::int64_t folderCount = 0;
  std::int64_t fileCount = 0;
  std::int64_t allocatedSize = 0;
  if (root["folderCount"].get(folderCount) || root["fileCount"].get(fileCount) ||
      root["allocatedSize"].get(allocatedSize)) {
    std::fprintf(stderr, "%s: the root lacks its sums\n", argv[1]);
    return 1;
  }
  std::printf(
      "folderCount=%lld fileCount=%lld allocatedSize=%lld nodeCount=%lld aggregateCount=%lld "
      "documentBytes=%zu\n",
      static_cast<long long>(folderCount), static_cast<long long>(fileCount),
      static_cast<long long>(allocatedSize), static_cast<long long>(nodeCount),
      static_cast<long long>(aggregateCount), text.size());
  return 0;
}
