#include "client/scan_tree.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "walk/privileged_node.h"

namespace kelmarind::client {
namespace {

using Member = walk::CodingKeys::Case;

// A node's members, each a bit of the set a node has seen.
constexpr std::uint16_t bit(Member member) {
  return static_cast<std::uint16_t>(1u << static_cast<unsigned>(member));
}

// Every member but the date.
constexpr std::uint16_t required =
    ((1u << walk::CodingKeys::texts.size()) - 1) & ~bit(Member::modificationDate);

std::optional<Member> memberNamed(std::string_view key) {
  const auto member = walk::CodingKeys::fromText(key);
  if (!member) return std::nullopt;
  return member->value;
}

void appendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A cursor over the document. Every read checks the end first: the bytes
// come from a socket.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  [[nodiscard]] std::unexpected<DocumentError> fail(std::string reason) const {
    return std::unexpected(DocumentError{.offset = at_, .reason = std::move(reason)});
  }
  [[nodiscard]] bool atEnd() const { return at_ == text_.size(); }

  void skipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }
  // Skips white space, then takes `c` if it is next.
  bool consume(char c) {
    skipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  // The bytes between a string's quotes, escapes left as they are. The end is
  // found with memchr: paths, the bulk of a document, are skipped at its pace.
  std::expected<std::string_view, DocumentError> rawString() {
    if (!consume('"')) return fail("expected a string");
    const std::size_t start = at_;
    std::size_t from = start;
    while (true) {
      const void* quote = std::memchr(text_.data() + from, '"', text_.size() - from);
      if (quote == nullptr) return fail("unterminated string");
      const auto end = static_cast<std::size_t>(static_cast<const char*>(quote) - text_.data());
      std::size_t backslashes = 0;
      while (end - backslashes > start && text_[end - backslashes - 1] == '\\') ++backslashes;
      if (backslashes % 2 == 0) {
        at_ = end + 1;
        return text_.substr(start, end - start);
      }
      from = end + 1;
    }
  }

  std::expected<void, DocumentError> string(std::string& out) {
    const auto raw = rawString();
    if (!raw) return std::unexpected(raw.error());
    return unescape(*raw, out);
  }

  std::expected<bool, DocumentError> boolean() {
    skipSpace();
    if (takeWord("true")) return true;
    if (takeWord("false")) return false;
    return fail("expected true or false");
  }

  std::expected<std::int64_t, DocumentError> integer() {
    const std::string_view digits = number();
    if (digits.empty() || digits.find_first_of(".eE") != std::string_view::npos) {
      return fail("expected an integer");
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc()) return fail("integer out of range");
    return value;
  }

  // A number, or nullopt for null.
  std::expected<std::optional<double>, DocumentError> date() {
    skipSpace();
    if (takeWord("null")) return std::nullopt;
    const std::string_view digits = number();
    if (digits.empty()) return fail("expected a number or null");
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // Beyond a double's range a date reads as infinity or zero, as strtod
    // has it: the views show it rather than refuse the whole tree.
    if (error == std::errc::result_out_of_range) {
      return std::strtod(std::string(digits).c_str(), nullptr);
    }
    if (error != std::errc()) return fail("expected a number or null");
    return value;
  }

  // Any value, its brackets matched and its strings closed.
  std::expected<void, DocumentError> skipValue() {
    std::string closers;
    do {
      skipSpace();
      if (atEnd()) return fail("unterminated value");
      const char c = text_[at_];
      if (c == '"') {
        if (auto skipped = rawString(); !skipped) return std::unexpected(skipped.error());
      } else if (c == '{' || c == '[') {
        closers += c == '{' ? '}' : ']';
        ++at_;
      } else if (c == '}' || c == ']') {
        if (closers.empty()) return fail("expected a value");
        if (closers.back() != c) return fail("mismatched bracket");
        closers.pop_back();
        ++at_;
      } else if (c == ',' || c == ':') {
        if (closers.empty()) return fail("expected a value");
        ++at_;
      } else {
        constexpr std::string_view delimiters = " \t\r\n,:[]{}\"";
        while (!atEnd() && delimiters.find(text_[at_]) == std::string_view::npos) ++at_;
      }
    } while (!closers.empty());
    return {};
  }

 private:
  bool takeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  // The text of a JSON number at the cursor (empty when there is none).
  std::string_view number() {
    skipSpace();
    const std::size_t start = at_;
    const auto digitsFrom = [&](std::size_t from) {
      std::size_t i = from;
      while (i < text_.size() && text_[i] >= '0' && text_[i] <= '9') ++i;
      return i;
    };
    std::size_t i = start;
    if (i < text_.size() && text_[i] == '-') ++i;
    const std::size_t integerEnd = digitsFrom(i);
    if (integerEnd == i || (text_[i] == '0' && integerEnd > i + 1)) return {};
    i = integerEnd;
    if (i < text_.size() && text_[i] == '.') {
      const std::size_t fractionEnd = digitsFrom(i + 1);
      if (fractionEnd == i + 1) return {};
      i = fractionEnd;
    }
    if (i < text_.size() && (text_[i] == 'e' || text_[i] == 'E')) {
      std::size_t exponent = i + 1;
      if (exponent < text_.size() && (text_[exponent] == '+' || text_[exponent] == '-')) {
        ++exponent;
      }
      const std::size_t exponentEnd = digitsFrom(exponent);
      if (exponentEnd == exponent) return {};
      i = exponentEnd;
    }
    at_ = i;
    return text_.substr(start, i - start);
  }

  std::expected<void, DocumentError> unescape(std::string_view raw, std::string& out) {
    for (std::size_t i = 0; i < raw.size();) {
      const std::size_t backslash = raw.find('\\', i);
      const std::string_view plain = raw.substr(i, backslash - i);
      for (const char c : plain) {
        if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
      }
      out += plain;
      if (backslash == std::string_view::npos) break;
      i = backslash + 1;
      if (i == raw.size()) return fail("bad escape");
      switch (raw[i++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto c = hex4(raw, i);
          if (!c) return fail("bad \\u escape");
          i += 4;
          // A high surrogate takes the low one after it; an unpaired one
          // stands for no character and becomes U+FFFD.
          if (*c >= 0xD800 && *c <= 0xDBFF && raw.substr(i, 2) == "\\u") {
            const auto low = hex4(raw, i + 2);
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
              *c = 0x10000 + ((*c - 0xD800) << 10) + (*low - 0xDC00);
              i += 6;
            }
          }
          appendUtf8(*c >= 0xD800 && *c <= 0xDFFF ? 0xFFFD : *c, out);
          break;
        }
        default:
          return fail("bad escape");
      }
    }
    return {};
  }

  static std::optional<char32_t> hex4(std::string_view raw, std::size_t at) {
    if (raw.size() < at + 4) return std::nullopt;
    char32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
      const char c = raw[i];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<char32_t>(digit);
    }
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// The nodes of the document, read into flat storage. Names are gathered in
// one growing buffer and given their views once it no longer moves.
class DocumentReader {
 public:
  explicit DocumentReader(std::string_view document) : cursor_(document) {}

  std::expected<void, DocumentError> read() {
    if (auto opened = openNode(); !opened) return opened;
    bool isFirstMember = true;
    while (!open_.empty()) {
      if (isFirstMember ? cursor_.consume('}') : !cursor_.consume(',')) {
        if (!isFirstMember && !cursor_.consume('}')) return cursor_.fail("expected , or }");
        auto closed = closeNode();
        if (!closed) return std::unexpected(closed.error());
        isFirstMember = *closed;
        continue;
      }
      auto member = readMember();
      if (!member) return std::unexpected(member.error());
      isFirstMember = *member;
    }
    cursor_.skipSpace();
    if (!cursor_.atEnd()) return cursor_.fail("text after the document");
    return {};
  }

  std::vector<ScanEntry> entries;
  std::vector<std::pair<std::size_t, std::size_t>> nameSpans;  // offset and length in `names`
  std::string names;
  std::string rootPath;

 private:
  struct Open {
    std::uint32_t index;
    std::uint16_t seen;
  };

  std::expected<void, DocumentError> openNode() {
    if (!cursor_.consume('{')) return cursor_.fail("expected a node object");
    if (entries.size() == std::numeric_limits<std::uint32_t>::max()) {
      return cursor_.fail("too many nodes");
    }
    open_.push_back({static_cast<std::uint32_t>(entries.size()), 0});
    entries.emplace_back();
    nameSpans.emplace_back(0, 0);
    return {};
  }

  // Ends the innermost node; true when a sibling was opened after it, so
  // what follows is that sibling's first member.
  std::expected<bool, DocumentError> closeNode() {
    const Open node = open_.back();
    if ((node.seen & required) != required) return cursor_.fail("node misses a member");
    entries[node.index].subtreeEnd = static_cast<std::uint32_t>(entries.size());
    open_.pop_back();
    if (open_.empty()) return false;
    if (cursor_.consume(',')) {
      if (auto opened = openNode(); !opened) return std::unexpected(opened.error());
      return true;
    }
    if (!cursor_.consume(']')) return cursor_.fail("expected , or ]");
    return false;
  }

  // Reads one "key": value pair of the innermost node; true when the value
  // opened a first child.
  std::expected<bool, DocumentError> readMember() {
    key_.clear();
    if (auto key = cursor_.string(key_); !key) return std::unexpected(key.error());
    if (!cursor_.consume(':')) return cursor_.fail("expected :");
    const std::optional<Member> member = memberNamed(key_);
    if (!member) {
      if (auto skipped = cursor_.skipValue(); !skipped) return std::unexpected(skipped.error());
      return false;
    }
    Open& node = open_.back();
    // A repeated member counts as it first came, as in any reader that
    // looks members up by key.
    if ((node.seen & bit(*member)) != 0) {
      if (auto skipped = cursor_.skipValue(); !skipped) return std::unexpected(skipped.error());
      return false;
    }
    node.seen |= bit(*member);
    ScanEntry& entry = entries[node.index];
    switch (*member) {
      case Member::children:
        if (!cursor_.consume('[')) return cursor_.fail("expected an array of children");
        if (cursor_.consume(']')) return false;
        if (auto opened = openNode(); !opened) return std::unexpected(opened.error());
        return true;
      case Member::name: {
        const std::size_t start = names.size();
        if (auto read = cursor_.string(names); !read) return std::unexpected(read.error());
        nameSpans[node.index] = {start, names.size() - start};
        return false;
      }
      case Member::path:
        if (open_.size() == 1) return check(cursor_.string(rootPath));
        return check(cursor_.rawString());
      case Member::isDirectory:
        return assign(cursor_.boolean(), entry.isDirectory);
      case Member::isAggregate:
        return assign(cursor_.boolean(), entry.isAggregate);
      case Member::allocatedSize:
        return assign(cursor_.integer(), entry.allocatedSize);
      case Member::folderCount:
        return assign(cursor_.integer(), entry.folderCount);
      case Member::fileCount:
        return assign(cursor_.integer(), entry.fileCount);
      case Member::modificationDate: {
        const auto date = cursor_.date();
        if (!date) return std::unexpected(date.error());
        entry.hasDate = date->has_value();
        entry.modificationDate = date->value_or(0);
        return false;
      }
    }
    return false;
  }

  template <typename T>
  static std::expected<bool, DocumentError> check(const std::expected<T, DocumentError>& result) {
    if (!result) return std::unexpected(result.error());
    return false;
  }
  template <typename T>
  static std::expected<bool, DocumentError> assign(std::expected<T, DocumentError> result,
                                                   T& field) {
    if (!result) return std::unexpected(result.error());
    field = *result;
    return false;
  }

  Cursor cursor_;
  std::vector<Open> open_;
  std::string key_;
};

}  // namespace

std::string DocumentError::description() const {
  return reason + " at byte " + std::to_string(offset);
}

std::expected<ScanTree, DocumentError> ScanTree::read(std::string_view document) {
  DocumentReader reader(document);
  if (auto read = reader.read(); !read) return std::unexpected(read.error());

  ScanTree tree;
  tree.names_.assign(reader.names.begin(), reader.names.end());
  tree.entries_ = std::move(reader.entries);
  for (std::size_t i = 0; i < tree.entries_.size(); ++i) {
    const auto [offset, length] = reader.nameSpans[i];
    tree.entries_[i].name = std::string_view(tree.names_.data() + offset, length);
  }
  tree.rootPath_ = std::move(reader.rootPath);
  return tree;
}

std::vector<std::uint32_t> ScanTree::childrenOf(std::uint32_t index) const {
  std::vector<std::uint32_t> out;
  const std::uint32_t end = entries_[index].subtreeEnd;
  for (std::uint32_t child = index + 1; child < end; child = entries_[child].subtreeEnd) {
    out.push_back(child);
  }
  return out;
}

}  // namespace kelmarind::client
