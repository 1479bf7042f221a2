// Reads arbitrary bytes as a node document; whatever reads must write again
// and read back equal, and write the same from the walk's compact form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "walk/node_json.h"
#include "walk/privileged_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelmarind::walk;
  const auto node = decodeDocument(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!node) {
    (void)node.error().description();
    return 0;
  }
  const auto document = encodeDocument(*node);
  const auto compact = encodeDocument(WalkedTree::fromValue(*node).root());
  if (document.has_value() != compact.has_value()) std::abort();
  if (!document) {  // a date JSON cannot express, e.g. 1e999 read as infinity
    if (document.error().path != compact.error().path) std::abort();
    return 0;
  }
  if (*compact != *document) std::abort();
  const auto again = decodeDocument(*document);
  if (!again || !(*again == *node)) std::abort();
  return 0;
}
