#include "walk/node_json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include <simdjson.h>

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
  constexpr std::pair<char, char> shortEscapes[] = {{'\b', 'b'},  {'\f', 'f'}, {'\n', 'n'},
                                                    {'\r', 'r'},  {'\t', 't'}, {'"', '"'},
                                                    {'\\', '\\'}, {'/', '/'}};
  for (const auto& [c, letter] : shortEscapes) {
    table[static_cast<unsigned char>(c)] = {{'\\', letter}, 2};
  }
  return table;
}
constexpr auto escapeTable = makeEscapes();
constexpr std::size_t longestEscape = 6;

// The length of escapeTable[byte], computed rather than loaded: the write
// position then waits only on arithmetic, not on a table load per byte.
constexpr std::size_t escapedLength(unsigned char byte) {
  // \b \t \n \f \r have two-character escapes; other controls take \u00XX.
  constexpr std::uint32_t shortControls =
      1u << '\b' | 1u << '\t' | 1u << '\n' | 1u << '\f' | 1u << '\r';
  const std::size_t control = byte < 0x20 ? ((shortControls >> byte) & 1u ? 2 : 6) : 0;
  const std::size_t quoted = byte == '/' || byte == '"' || byte == '\\' ? 2 : 0;
  return control + quoted + (control + quoted == 0 ? 1 : 0);
}
static_assert([] {
  for (int byte = 0; byte < 256; ++byte) {
    if (escapedLength(static_cast<unsigned char>(byte)) != escapeTable[byte].length) return false;
  }
  return true;
}());

// The member names and punctuation between a node's values, made at compile
// time from the coding keys. Each is stored whole, a copy of one fixed size
// the compiler makes in a few moves, and the cursor moves by its length.
struct Fragment {
  std::array<char, 48> chars{};
  std::size_t size = 0;
};

consteval Fragment join(std::initializer_list<std::string_view> parts) {
  Fragment joined;
  for (const std::string_view part : parts) {
    for (const char c : part) joined.chars.at(joined.size++) = c;
  }
  return joined;
}

using Key = CodingKeys::Case;

constexpr Fragment nameHead = join({R"({")", keyText(Key::name), R"(":")"});
constexpr Fragment pathHead = join({R"(",")", keyText(Key::path), R"(":")"});
// Indexed by the flag.
constexpr std::array<Fragment, 2> directoryHead = {
    join({R"(",")", keyText(Key::isDirectory), R"(":false,")", keyText(Key::allocatedSize),
          R"(":)"}),
    join(
        {R"(",")", keyText(Key::isDirectory), R"(":true,")", keyText(Key::allocatedSize), R"(":)"}),
};
constexpr Fragment folderCountHead = join({R"(,")", keyText(Key::folderCount), R"(":)"});
constexpr Fragment fileCountHead = join({R"(,")", keyText(Key::fileCount), R"(":)"});
constexpr Fragment dateHead = join({R"(,")", keyText(Key::modificationDate), R"(":)"});
constexpr std::array<Fragment, 2> aggregateHead = {
    join({R"(,")", keyText(Key::isAggregate), R"(":false,")", keyText(Key::children), R"(":[)"}),
    join({R"(,")", keyText(Key::isAggregate), R"(":true,")", keyText(Key::children), R"(":[)"}),
};

// The longest texts of the members whose length depends on the value.
constexpr std::size_t longestInteger = 20;  // "-9223372036854775808"
constexpr std::size_t longestDate = 24;     // "-2.2250738585072014e-308"
constexpr std::size_t longestHead = nameHead.size + pathHead.size + directoryHead[0].size +
                                    folderCountHead.size + fileCountHead.size + dateHead.size +
                                    aggregateHead[0].size + 3 * longestInteger + longestDate;
// "]}" closing the node and the "," before the next sibling.
constexpr std::size_t longestTail = 3;
// Room after the end for the last escape entry or fragment stored whole.
constexpr std::size_t storeSlack = std::max(sizeof(Escape), sizeof(Fragment::chars));

// Where the document is written. The buffer always has room for the node
// being written (the whole bound ahead, or a node's room in a chunk; see
// encodeInto), so nothing is checked while writing.
struct Writer {
  char* out;
  void put(std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  }
  void put(const Fragment& fragment) {
    std::memcpy(out, fragment.chars.data(), sizeof fragment.chars);
    out += fragment.size;
  }
  void put(char c) { *out++ = c; }
  void putEscaped(std::string_view text) {
    for (char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      std::memcpy(out, &escapeTable[byte], sizeof(Escape));
      out += escapedLength(byte);
    }
  }
};

// Formatted in place: the buffer has room for the longest text of each.
template <typename Number>
void putNumber(Writer& writer, Number value) {
  constexpr bool isFloating = std::is_floating_point_v<Number>;
  char* const end = writer.out + (isFloating ? longestDate : longestInteger);
  auto result = std::to_chars(writer.out, end, value);
  if constexpr (isFloating) {
    // The shortest form of a whole double of 2^63 or more is a run of digits
    // with no point or exponent, which JSON readers take for an integer and
    // refuse as out of range. The shortest scientific form reads back as the
    // same double and is a number to every reader. (A file's date can get
    // there: some file systems store any 64-bit second count.)
    const std::string_view shortest(writer.out, result.ptr);
    if (std::abs(value) >= 0x1p63 && shortest.find_first_of(".e") == std::string_view::npos) {
      result = std::to_chars(writer.out, end, value, std::chars_format::scientific);
    }
  }
  writer.out = result.ptr;
}

// The text of the date written last. Files installed together share their
// date: in a walk of /usr two nodes in three repeat the date before them,
// whose text is then copied rather than formatted again. Dates are told
// apart by their bits, so that 0 and -0 keep their own texts.
class DateText {
 public:
  void put(Writer& writer, double date) {
    const auto bits = std::bit_cast<std::uint64_t>(date);
    if (size_ == 0 || bits != bits_) {
      const char* const start = writer.out;
      putNumber(writer, date);
      size_ = static_cast<std::size_t>(writer.out - start);
      std::memcpy(text_.data(), start, size_);
      bits_ = bits;
      return;
    }
    // Copied whole, within the room the longest date has.
    std::memcpy(writer.out, text_.data(), text_.size());
    writer.out += size_;
  }

 private:
  std::array<char, longestDate> text_{};
  std::size_t size_ = 0;
  std::uint64_t bits_ = 0;
};

// A node's members after its path, up to the opening of its children array.
template <typename Node>
void putFields(Writer& writer, const Node& node, bool isDirectory, bool isAggregate,
               std::optional<double> date, DateText& dateText) {
  writer.put(directoryHead[isDirectory ? 1 : 0]);
  putNumber(writer, node.allocatedSize);
  writer.put(folderCountHead);
  putNumber(writer, node.folderCount);
  writer.put(fileCountHead);
  putNumber(writer, node.fileCount);
  if (date) {
    writer.put(dateHead);
    dateText.put(writer, *date);
  }
  writer.put(aggregateHead[isAggregate ? 1 : 0]);
}

std::span<const PrivilegedNode> childrenOf(const PrivilegedNode& node) { return node.children; }
std::span<const CompactNode> childrenOf(const CompactNode& node) { return node.children(); }

// Visits the tree depth-first in document order with an explicit stack, since
// trees may be thousands of levels deep and this runs on a request's thread.
// `open(node, index, parentState)` is called as a node begins (index among
// its siblings) and returns the state its children will be given; `close()`
// is called as it ends. Either may end the visit early: `open` by returning
// no state, `close` by returning false. Returns whether the visit was whole.
template <typename Node, typename State, typename Open, typename Close>
bool forEachInDocumentOrder(const Node& root, const State& rootState, Open open, Close close) {
  struct Level {
    std::span<const Node> children;
    std::size_t nextChild;
    State state;
  };
  std::optional<State> opened = open(root, 0, rootState);
  if (!opened) return false;
  std::vector<Level> stack{{childrenOf(root), 0, std::move(*opened)}};
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.nextChild == top.children.size()) {
      if (!close()) return false;
      stack.pop_back();
      continue;
    }
    const Node& child = top.children[top.nextChild];
    opened = open(child, top.nextChild++, top.state);
    if (!opened) return false;
    stack.push_back({childrenOf(child), 0, std::move(*opened)});
  }
  return true;
}

struct NoState {};

// A size the document cannot exceed, from text lengths alone: measuring the
// exact size would mean escaping every text and formatting every number twice.
// Only the pages written are ever touched, so the slack costs address space,
// not memory. Also finds the first node with a date that JSON cannot express.
template <typename Node>
struct Bound {
  std::size_t size = storeSlack;
  const Node* rejected = nullptr;
};

std::size_t textSizes(const PrivilegedNode& node) { return node.name.size() + node.path.size(); }
std::size_t textSizes(const CompactNode& node) { return node.nameSize + node.pathSize; }
std::optional<double> dateOf(const PrivilegedNode& node) { return node.modificationDate; }
std::optional<double> dateOf(const CompactNode& node) { return node.modificationDate(); }

// The most a node can add to the document, its closing and the comma before
// its next sibling included.
template <typename Node>
std::size_t nodeRoom(const Node& node) {
  return longestHead + longestTail + longestEscape * textSizes(node);
}

template <typename Node>
Bound<Node> documentBound(const Node& root) {
  Bound<Node> bound;
  forEachInDocumentOrder(
      root, NoState{},
      [&](const Node& node, std::size_t, NoState) {
        bound.size += nodeRoom(node);
        const auto date = dateOf(node);
        if (date && !std::isfinite(*date) && bound.rejected == nullptr) bound.rejected = &node;
        return std::optional(NoState{});
      },
      [] { return true; });
  return bound;
}

std::string pathOf(const PrivilegedNode&, const PrivilegedNode* node) {
  return std::string(node->path);
}

// Compact nodes do not all hold their paths: this one is found again from the
// root, which is fine for an error.
std::string pathOf(const CompactNode& root, const CompactNode* node) {
  std::string found;
  forEachInDocumentOrder(
      root, std::string(),
      [&](const CompactNode& visited, std::size_t, const std::string& parentPath) {
        std::string path = childPath(parentPath, visited);
        if (&visited == node) found = path;
        return std::optional(std::move(path));
      },
      [] { return true; });
  return found;
}

// Writes the document of `root` to `output`, with `putNode` for each node's
// members up to its children. `output.makeRoom(size)` makes sure `size` bytes
// can be stored at `output.writer.out`, or ends the writing by returning
// false. Returns whether the document was written whole.
template <typename Node, typename State, typename Output, typename PutNode>
bool encodeInto(Output& output, const Node& root, const State& rootState, PutNode& putNode) {
  Writer& writer = output.writer;
  return forEachInDocumentOrder(
      root, rootState,
      [&](const Node& node, std::size_t index, const State& parent) -> std::optional<State> {
        if (!output.makeRoom(nodeRoom(node) + storeSlack)) return std::nullopt;
        if (index > 0) writer.put(',');
        return putNode(writer, node, parent);
      },
      [&] {
        if (!output.makeRoom(longestTail + storeSlack)) return false;
        writer.put("]}");
        return true;
      });
}

// One buffer of the bounded size: nothing is checked while writing.
struct WholeBuffer {
  Writer writer;
  static bool makeRoom(std::size_t /*size*/) { return true; }
};

// A buffer lent by a ChunkedOutput, handed back whenever a node might not fit.
struct LentBuffer {
  ChunkedOutput& output;
  Writer writer;
  const char* end;
  bool makeRoom(std::size_t size) {
    if (static_cast<std::size_t>(end - writer.out) >= size) return true;
    const std::span<char> next = output.handOn(writer.out, size);
    writer.out = next.data();
    end = std::to_address(next.end());
    return !next.empty();
  }
};

// Writes the document into one buffer of the bounded size.
template <typename Node, typename State, typename PutNode>
std::expected<std::string, EncodeError> encode(const Node& root, const State& rootState,
                                               PutNode putNode) {
  const Bound<Node> bound = documentBound(root);
  if (bound.rejected != nullptr) return std::unexpected(EncodeError{pathOf(root, bound.rejected)});
  std::string document;
  document.resize_and_overwrite(bound.size, [&](char* buffer, std::size_t) {
    WholeBuffer output{Writer{buffer}};
    encodeInto(output, root, rootState, putNode);
    return static_cast<std::size_t>(output.writer.out - buffer);
  });
  return document;
}

// The escaped path of a node whose children are being written: the bytes
// [begin, end) of the encoder's path stack.
struct EscapedPath {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool endsWithSlash = false;  // the path itself, not its escaped form
};

// Writes compact nodes. A path that is its parent's path and the node's name
// is not escaped again: it is the parent's escaped path, then "\/", then the
// escaped name just written. The escaped paths of the nodes whose children
// are being written are kept in one stack, each but the root's (and the few
// with their own path) sharing its parent's bytes, so it holds the longest
// path once however deep the tree; what is already written is never read.
class CompactNodeWriter {
 public:
  EscapedPath operator()(Writer& writer, const CompactNode& node, const EscapedPath& parent) {
    writer.put(nameHead);
    const char* name = writer.out;
    writer.putEscaped(node.name());
    const std::string_view escapedName(name, writer.out);
    writer.put(pathHead);
    const char* pathStart = writer.out;
    bool endsWithSlash = false;
    if (node.hasOwnPath()) {
      writer.putEscaped(node.ownPath());
      endsWithSlash = node.ownPath().ends_with('/');
    } else if (!node.isAggregate()) {
      writer.put(std::string_view(paths_).substr(parent.begin, parent.end - parent.begin));
      if (!parent.endsWithSlash) writer.put(R"(\/)");
      writer.put(escapedName);
    }
    const std::string_view escapedPath(pathStart, writer.out);
    putFields(writer, node, node.isDirectory(), node.isAggregate(), node.modificationDate(),
              dateText_);
    if (node.childCount == 0) return {};
    // Whatever follows the parent's path belongs to earlier siblings, done.
    paths_.resize(parent.end);
    if (node.hasOwnPath()) {
      paths_.append(escapedPath);
      return {parent.end, paths_.size(), endsWithSlash};
    }
    if (!parent.endsWithSlash) paths_.append(R"(\/)");
    paths_.append(escapedName);
    return {parent.begin, paths_.size(), false};
  }

 private:
  std::string paths_;
  DateText dateText_;
};

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
  auto name = member<std::string_view>(object, keyText(Key::name));
  if (!name) return std::unexpected(name.error());
  auto path = member<std::string_view>(object, keyText(Key::path));
  if (!path) return std::unexpected(path.error());
  auto isDirectory = member<bool>(object, keyText(Key::isDirectory));
  if (!isDirectory) return std::unexpected(isDirectory.error());
  auto allocatedSize = member<std::int64_t>(object, keyText(Key::allocatedSize));
  if (!allocatedSize) return std::unexpected(allocatedSize.error());
  auto folderCount = member<std::int64_t>(object, keyText(Key::folderCount));
  if (!folderCount) return std::unexpected(folderCount.error());
  auto fileCount = member<std::int64_t>(object, keyText(Key::fileCount));
  if (!fileCount) return std::unexpected(fileCount.error());
  std::optional<double> modificationDate;
  element date;
  if (!object.at_key(keyText(Key::modificationDate)).get(date) && !date.is_null()) {
    auto seconds = member<double>(object, keyText(Key::modificationDate));
    if (!seconds) return std::unexpected(seconds.error());
    modificationDate = *seconds;
  }
  auto isAggregate = member<bool>(object, keyText(Key::isAggregate));
  if (!isAggregate) return std::unexpected(isAggregate.error());
  auto children = member<array>(object, keyText(Key::children));
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
  DateText dateText;
  return encode(root, NoState{}, [&](Writer& writer, const PrivilegedNode& node, NoState) {
    writer.put(nameHead);
    writer.putEscaped(node.name);
    writer.put(pathHead);
    writer.putEscaped(node.path);
    putFields(writer, node, node.isDirectory, node.isAggregate, node.modificationDate, dateText);
    return NoState{};
  });
}

// Gathered from the chunks writeDocument hands on, so that whatever reads the
// compact form's document reads what the walk tool and the helper write.
std::expected<std::string, EncodeError> encodeDocument(const CompactNode& root) {
  std::string document;
  auto written = writeDocument(root, [&](std::string_view chunk) {
    document += chunk;
    return std::expected<void, platform::OsError>();
  });
  if (!written) return std::unexpected(std::get<EncodeError>(written.error()));
  return document;
}

DocumentPlan planDocument(const CompactNode& root) {
  const Bound<CompactNode> bound = documentBound(root);
  DocumentPlan plan{.root = &root, .sizeBound = bound.size, .unwritable = std::nullopt};
  if (bound.rejected != nullptr) plan.unwritable = EncodeError{pathOf(root, bound.rejected)};
  return plan;
}

std::expected<std::size_t, WriteError> writeDocument(const CompactNode& root,
                                                     const ChunkWriter& write) {
  return writeDocument(planDocument(root), write);
}

std::expected<std::size_t, WriteError> writeDocument(const DocumentPlan& plan,
                                                     const ChunkWriter& write) {
  if (plan.unwritable) return std::unexpected(*plan.unwritable);
  const CompactNode& root = *plan.root;
  ChunkedOutput output(write);
  const std::span<char> first = output.first();
  LentBuffer buffer{
      .output = output, .writer = Writer{first.data()}, .end = std::to_address(first.end())};
  CompactNodeWriter putNode;
  encodeInto(buffer, root, EscapedPath{}, putNode);
  auto size = output.finish(buffer.writer.out);
  if (!size) return std::unexpected(size.error());
  return *size;
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
  if (auto error = parser.allocate(json.size(), 2 * objectCount + 2)) {
    return std::unexpected(failure(error, {}));
  }
  element document;
  if (auto error = parser.parse(json.data(), json.size()).get(document)) {
    return std::unexpected(failure(error, {}));
  }

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
