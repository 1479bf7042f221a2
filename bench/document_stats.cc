#include "bench/document_stats.h"

#include <simdjson.h>

#include <vector>

namespace kelmarind::bench {

std::expected<DocumentStats, std::string> documentStats(std::string_view json) {
  const simdjson::padded_string text(json);
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (auto error = parser.parse(text).get_object().get(root); error) {
    return std::unexpected(std::string(simdjson::error_message(error)));
  }
  DocumentStats stats;
  if (root["folderCount"].get(stats.folderCount) || root["fileCount"].get(stats.fileCount) ||
      root["allocatedSize"].get(stats.allocatedSize)) {
    return std::unexpected(std::string("the root lacks its sums"));
  }
  std::vector<simdjson::dom::object> pending{root};
  while (!pending.empty()) {
    const simdjson::dom::object node = pending.back();
    pending.pop_back();
    ++stats.nodeCount;
    bool isAggregate = false;
    simdjson::dom::array children;
    if (node["isAggregate"].get(isAggregate) || node["children"].get(children)) {
      return std::unexpected(std::string("a node lacks isAggregate or children"));
    }
    stats.aggregateCount += isAggregate ? 1 : 0;
    for (simdjson::dom::element child : children) {
      simdjson::dom::object object;
      if (child.get_object().get(object)) {
        return std::unexpected(std::string("a child is not an object"));
      }
      pending.push_back(object);
    }
  }
  return stats;
}

}  // namespace kelmarind::bench
