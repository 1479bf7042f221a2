#include "walk/node_json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include <simdjson.h>

#include "platform/huge_pages.h"

namespace kelmarind::walk {
namespace {

// How each byte is written inside a string: the first `length` bytes of
// `text`, which is the byte itself for most. Whole entries are stored at
// once and the cursor moves by the length, so escaping needs no branch.
struct alignas(8) Escape {
  std::array<char, 7> text;
  std::uint8_t length;
};

constexpr std::array<Escape, 256> makeEscapes() {
  std::array<Escape, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = {{static_cast<char>(c)}, 1};
  constexpr char hex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) table[c] = {{'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]}, 6};
  constexpr std::pair<char, char> kShort[] = {{'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'},  {'\r', 'r'},
                                              {'\t', 't'}, {'"', '"'},  {'\\', '\\'}, {'/', '/'}};
  for (const auto& [c, letter] : kShort) {
    table[static_cast<unsigned char>(c)] = {{'\\', letter}, 2};
  }
  return table;
}
constexpr auto kEscapes = makeEscapes();
constexpr std::size_t kLongestEscape = 6;

// The length of kEscapes[byte], computed rather than loaded: the write
// position then waits only on arithmetic, not on a table load per byte.
constexpr std::size_t escapedLength(unsigned char byte) {
  // \b \t \n \f \r have two-character escapes; other controls take \u00XX.
  constexpr std::uint32_t kShortControls =
      1u << '\b' | 1u << '\t' | 1u << '\n' | 1u << '\f' | 1u << '\r';
  const std::size_t control = byte < 0x20 ? ((kShortControls >> byte) & 1u ? 2 : 6) : 0;
  const std::size_t quoted = byte == '/' || byte == '"' || byte == '\\' ? 2 : 0;
  return control + quoted + (control + quoted == 0 ? 1 : 0);
}
static_assert([] {
  for (int byte = 0; byte < 256; ++byte) {
    if (escapedLength(static_cast<unsigned char>(byte)) != kEscapes[byte].length) return false;
  }
  return true;
}());

// The longest texts of the members whose length depends on the value.
constexpr std::size_t kLongestInteger = 20;  // "-9223372036854775808"
constexpr std::size_t kLongestDate = 24;     // "-2.2250738585072014e-308"
constexpr std::size_t kLongestHead =
    std::string_view(R"({"name":"","path":"","isDirectory":false,"allocatedSize":)").size() +
    std::string_view(R"(,"folderCount":,"fileCount":,"modificationDate":)").size() +
    std::string_view(R"(,"isAggregate":false,"children":[)").size() + 3 * kLongestInteger +
    kLongestDate;
// "]}" closing the node and the "," before the next sibling.
constexpr std::size_t kLongestTail = 3;
// Room after the end for the last escape entry stored whole.
constexpr std::size_t kStoreSlack = sizeof(Escape);

// Where the document is written. The buffer is sized ahead by documentBound(),
// so nothing is checked while writing.
struct Writer {
  char* out;
  void put(std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  }
  void put(char c) { *out++ = c; }
  void putString(std::string_view text) {
    *out++ = '"';
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      std::memcpy(out, &kEscapes[byte], sizeof(Escape));
      out += escapedLength(byte);
    }
    *out++ = '"';
  }
};

template <typename Number>
void putNumber(Writer& writer, Number value) {
  char digits[32];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  if constexpr (std::is_floating_point_v<Number>) {
    // The shortest form of a whole double of 2^63 or more is a run of digits
    // with no point or exponent, which JSON readers take for an integer and
    // refuse as out of range. The shortest scientific form reads back as the
    // same double and is a number to every reader. (A file's date can get
    // there: some file systems store any 64-bit second count.)
    const std::string_view shortest(digits, result.ptr);
    if (std::abs(value) >= 0x1p63 && shortest.find_first_of(".e") == std::string_view::npos) {
      result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific);
    }
  }
  writer.put(std::string_view(digits, result.ptr));
}

// The two node records, read alike: the value form and the walk's own.
std::string_view nameOf(const PrivilegedNode& node) { return node.name; }
std::string_view nameOf(const CompactNode& node) { return node.name(); }
std::string_view pathOf(const PrivilegedNode& node) { return node.path; }
std::string_view pathOf(const CompactNode& node) { return node.path(); }
bool isDirectory(const PrivilegedNode& node) { return node.isDirectory; }
bool isDirectory(const CompactNode& node) { return node.isDirectory(); }
bool isAggregate(const PrivilegedNode& node) { return node.isAggregate; }
bool isAggregate(const CompactNode& node) { return node.isAggregate(); }
std::optional<double> dateOf(const PrivilegedNode& node) { return node.modificationDate; }
std::optional<double> dateOf(const CompactNode& node) { return node.modificationDate(); }
std::span<const PrivilegedNode> childrenOf(const PrivilegedNode& node) { return node.children; }
std::span<const CompactNode> childrenOf(const CompactNode& node) { return node.children(); }

// Everything of a node's object up to the opening of its children array.
template <typename Node>
void putHead(Writer& writer, const Node& node) {
  writer.put(R"({"name":)");
  writer.putString(nameOf(node));
  writer.put(R"(,"path":)");
  writer.putString(pathOf(node));
  writer.put(isDirectory(node) ? R"(,"isDirectory":true,"allocatedSize":)"
                               : R"(,"isDirectory":false,"allocatedSize":)");
  putNumber(writer, node.allocatedSize);
  writer.put(R"(,"folderCount":)");
  putNumber(writer, node.folderCount);
  writer.put(R"(,"fileCount":)");
  putNumber(writer, node.fileCount);
  if (const auto date = dateOf(node)) {
    writer.put(R"(,"modificationDate":)");
    putNumber(writer, *date);
  }
  writer.put(isAggregate(node) ? R"(,"isAggregate":true,"children":[)"
                               : R"(,"isAggregate":false,"children":[)");
}

// Visits the tree depth-first in document order with an explicit stack, since
// trees may be thousands of levels deep and this runs on a request's thread:
// `open(node, index)` as a node begins (index among its siblings), `close()`
// as it ends.
template <typename Node, typename Open, typename Close>
void forEachInDocumentOrder(const Node& root, Open open, Close close) {
  struct Level {
    std::span<const Node> children;
    std::size_t nextChild;
  };
  std::vector<Level> stack{{childrenOf(root), 0}};
  open(root, 0);
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.nextChild == top.children.size()) {
      close();
      stack.pop_back();
      continue;
    }
    const Node& child = top.children[top.nextChild];
    open(child, top.nextChild++);
    stack.push_back({childrenOf(child), 0});
  }
}

// A size the document cannot exceed, from text lengths alone: measuring the
// exact size would mean escaping every text and formatting every number twice.
// Only the pages written are ever touched, so the slack costs address space,
// not memory. Also finds the path of the first date that JSON cannot express.
struct Bound {
  std::size_t size = kStoreSlack;
  std::optional<std::string_view> rejected;
};

template <typename Node>
Bound documentBound(const Node& root) {
  Bound bound;
  forEachInDocumentOrder(
      root,
      [&](const Node& node, std::size_t) {
        bound.size += kLongestHead + kLongestTail +
                      kLongestEscape * (nameOf(node).size() + pathOf(node).size());
        const auto date = dateOf(node);
        if (date && !std::isfinite(*date) && !bound.rejected) bound.rejected = pathOf(node);
      },
      [] {});
  return bound;
}

template <typename Node>
std::expected<std::string, EncodeError> encode(const Node& root) {
  const Bound bound = documentBound(root);
  if (bound.rejected) return std::unexpected(EncodeError{std::string(*bound.rejected)});
  std::string document;
  document.resize_and_overwrite(bound.size, [&](char* buffer, std::size_t size) {
    platform::adviseHugePages(buffer, size);
    Writer writer{buffer};
    forEachInDocumentOrder(
        root,
        [&](const Node& node, std::size_t index) {
          if (index > 0) writer.put(',');
          putHead(writer, node);
        },
        [&] { writer.put("]}"); });
    return static_cast<std::size_t>(writer.out - buffer);
  });
  return document;
}

using simdjson::dom::array;
using simdjson::dom::element;

DecodeError failure(simdjson::error_code code, std::string_view key) {
  switch (code) {
    case simdjson::NO_SUCH_FIELD:
      return {DecodeError::Kind::keyNotFound, std::string(key)};
    case simdjson::INCORRECT_TYPE:
      return {DecodeError::Kind::typeMismatch, std::string(key)};
    case simdjson::NUMBER_OUT_OF_RANGE:
      return {DecodeError::Kind::numberOutOfRange, std::string(key)};
    default:
      return {DecodeError::Kind::malformed, simdjson::error_message(code)};
  }
}

template <typename T>
std::expected<T, DecodeError> member(simdjson::dom::object object, std::string_view key) {
  T value;
  if (auto error = object.at_key(key).get(value)) return std::unexpected(failure(error, key));
  return value;
}

// Reads every member of `value` but the children into `node` and returns the
// children array, still to be read.
std::expected<array, DecodeError> readHead(element value, PrivilegedNode& node) {
  simdjson::dom::object object;
  if (auto error = value.get(object)) return std::unexpected(failure(error, "node"));
  auto name = member<std::string_view>(object, "name");
  if (!name) return std::unexpected(name.error());
  auto path = member<std::string_view>(object, "path");
  if (!path) return std::unexpected(path.error());
  auto isDirectory = member<bool>(object, "isDirectory");
  if (!isDirectory) return std::unexpected(isDirectory.error());
  auto allocatedSize = member<std::int64_t>(object, "allocatedSize");
  if (!allocatedSize) return std::unexpected(allocatedSize.error());
  auto folderCount = member<std::int64_t>(object, "folderCount");
  if (!folderCount) return std::unexpected(folderCount.error());
  auto fileCount = member<std::int64_t>(object, "fileCount");
  if (!fileCount) return std::unexpected(fileCount.error());
  std::optional<double> modificationDate;
  element date;
  if (!object.at_key("modificationDate").get(date) && !date.is_null()) {
    auto seconds = member<double>(object, "modificationDate");
    if (!seconds) return std::unexpected(seconds.error());
    modificationDate = *seconds;
  }
  auto isAggregate = member<bool>(object, "isAggregate");
  if (!isAggregate) return std::unexpected(isAggregate.error());
  auto children = member<array>(object, "children");
  if (!children) return std::unexpected(children.error());
  node = PrivilegedNode{.name = std::pmr::string(*name),
                        .path = std::pmr::string(*path),
                        .isDirectory = *isDirectory,
                        .allocatedSize = *allocatedSize,
                        .folderCount = *folderCount,
                        .fileCount = *fileCount,
                        .modificationDate = modificationDate,
                        .isAggregate = *isAggregate,
                        .children = {}};
  node.children.reserve(children->size());
  return *children;
}

}  // namespace

std::string EncodeError::description() const {
  return "The modification date of " + path + " cannot be written as JSON";
}

std::expected<std::string, EncodeError> encodeDocument(const PrivilegedNode& root) {
  return encode(root);
}

std::expected<std::string, EncodeError> encodeDocument(const CompactNode& root) {
  return encode(root);
}

std::string DecodeError::description() const {
  switch (kind) {
    case Kind::keyNotFound:
      return "No value for the key \"" + detail + "\"";
    case Kind::typeMismatch:
      return "The value for the key \"" + detail + "\" has the wrong type";
    case Kind::numberOutOfRange:
      return "The number for the key \"" + detail + "\" does not fit";
    case Kind::malformed:
      break;
  }
  return "The data is not valid JSON: " + detail;
}

std::expected<PrivilegedNode, DecodeError> decodeDocument(std::string_view json) {
  // A node's level nests an object and its children array, so this depth
  // admits every tree that writing produces, however deep; deeper nesting of
  // bare arrays is no node document anyway.
  const auto objectCount = static_cast<std::size_t>(std::count(json.begin(), json.end(), '{'));
  simdjson::dom::parser parser;
  if (auto error = parser.allocate(json.size(), 2 * objectCount + 2))
    return std::unexpected(failure(error, {}));
  element document;
  if (auto error = parser.parse(json.data(), json.size()).get(document))
    return std::unexpected(failure(error, {}));

  // Children are read with an explicit stack for the same reason as writing.
  // Each children vector is reserved in full first, so the pointers held on
  // the stack stay valid while siblings are added.
  struct Open {
    array::iterator next;
    array::iterator end;
    PrivilegedNode* node;
  };
  PrivilegedNode root{};
  auto children = readHead(document, root);
  if (!children) return std::unexpected(children.error());
  std::vector<Open> stack{{children->begin(), children->end(), &root}};
  while (!stack.empty()) {
    Open& top = stack.back();
    if (top.next == top.end) {
      stack.pop_back();
      continue;
    }
    const element value = *top.next;
    ++top.next;
    PrivilegedNode& child = top.node->children.emplace_back();
    auto grandchildren = readHead(value, child);
    if (!grandchildren) return std::unexpected(grandchildren.error());
    stack.push_back({grandchildren->begin(), grandchildren->end(), &child});
  }
  return root;
}

}  // namespace kelmarind::walk
