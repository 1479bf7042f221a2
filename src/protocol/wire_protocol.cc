#include "protocol/wire_protocol.h"

#include <algorithm>

#include "platform/unicode_text.h"

namespace kelmarind::protocol {
namespace {

constexpr char terminator = '\0';

bool isSelectorCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '_';
}

// U+0000 is a character like any other: a text is length-prefixed, and its
// terminator only guards the framing. Whether a path holding one may be
// walked is the eligibility check's question, not the transport's.
bool isValidText(std::string_view text) { return platform::isValidUtf8(text); }

// Consumes a payload front to back. Every read checks the bytes left before
// touching them; nothing is read past the end.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  [[nodiscard]] bool isAtEnd() const { return rest_.empty(); }
  // The next byte, left unread; -1 at the end.
  [[nodiscard]] int peek() const {
    return rest_.empty() ? -1 : static_cast<std::uint8_t>(rest_.front());
  }

  std::expected<std::uint8_t, DecodeError> byte() {
    if (rest_.empty()) return std::unexpected(DecodeError::truncated);
    const auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }

  std::expected<std::uint32_t, DecodeError> u32() {
    if (rest_.size() < 4) return std::unexpected(DecodeError::truncated);
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(rest_[i]);
    rest_.remove_prefix(4);
    return value;
  }

  std::expected<std::string_view, DecodeError> take(std::size_t count) {
    if (rest_.size() < count) return std::unexpected(DecodeError::truncated);
    const std::string_view taken = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return taken;
  }

  std::expected<void, DecodeError> terminatorByte() {
    auto value = byte();
    if (!value) return std::unexpected(value.error());
    if (*value != 0) return std::unexpected(DecodeError::badTerminator);
    return {};
  }

  // A text body: u32 length, the bytes, NUL.
  std::expected<std::string_view, DecodeError> text() {
    auto length = u32();
    if (!length) return std::unexpected(length.error());
    auto content = take(*length);
    if (!content) return content;
    if (auto end = terminatorByte(); !end) return std::unexpected(end.error());
    if (!isValidText(*content)) return std::unexpected(DecodeError::badText);
    return content;
  }

  // A bytes body: u32 length, the bytes.
  std::expected<std::string_view, DecodeError> bytes() {
    auto length = u32();
    if (!length) return std::unexpected(length.error());
    return take(*length);
  }

 private:
  std::string_view rest_;
};

std::expected<std::string, DecodeError> readSelector(Reader& reader) {
  auto length = reader.byte();
  if (!length) return std::unexpected(length.error());
  if (*length == 0) return std::unexpected(DecodeError::badSelector);
  if (*length > maxSelectorLength) return std::unexpected(DecodeError::oversized);
  auto selector = reader.take(*length);
  if (!selector) return std::unexpected(selector.error());
  if (auto end = reader.terminatorByte(); !end) return std::unexpected(end.error());
  if (!std::ranges::all_of(*selector, isSelectorCharacter)) {
    return std::unexpected(DecodeError::badSelector);
  }
  return std::string(*selector);
}

std::expected<Value, DecodeError> readValue(Reader& reader) {
  auto tag = reader.byte();
  if (!tag) return std::unexpected(tag.error());
  switch (static_cast<ValueType>(*tag)) {
    case ValueType::nil:
      return Value{};
    case ValueType::text: {
      auto text = reader.text();
      if (!text) return std::unexpected(text.error());
      return Value{ValueType::text, std::string(*text)};
    }
    case ValueType::bytes: {
      auto bytes = reader.bytes();
      if (!bytes) return std::unexpected(bytes.error());
      return Value{ValueType::bytes, std::string(*bytes)};
    }
  }
  return std::unexpected(DecodeError::badTag);
}

// A reply slot holds nil or one value of `allowed`.
std::expected<std::optional<std::string_view>, DecodeError> readSlot(Reader& reader,
                                                                     ValueType allowed) {
  auto tag = reader.byte();
  if (!tag) return std::unexpected(tag.error());
  if (*tag == static_cast<std::uint8_t>(ValueType::nil)) return std::nullopt;
  if (*tag != static_cast<std::uint8_t>(allowed)) return std::unexpected(DecodeError::badTag);
  auto content = allowed == ValueType::text ? reader.text() : reader.bytes();
  if (!content) return std::unexpected(content.error());
  return *content;
}

void appendU32(std::string& out, std::size_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void appendText(std::string& out, std::string_view text) {
  appendU32(out, text.size());
  out.append(text);
  out.push_back(terminator);
}

// Size of a value on the wire, tag included.
std::size_t encodedSize(const Value& value) {
  switch (value.type) {
    case ValueType::nil:
      return 1;
    case ValueType::text:
      return 1 + 4 + value.content.size() + 1;
    case ValueType::bytes:
      return 1 + 4 + value.content.size();
  }
  return 1;
}

}  // namespace

std::string_view describe(DecodeError error) {
  switch (error) {
    case DecodeError::truncated:
      return "truncated frame";
    case DecodeError::oversized:
      return "oversized frame or field";
    case DecodeError::badKind:
      return "unexpected frame kind";
    case DecodeError::badTag:
      return "unexpected value tag";
    case DecodeError::badTerminator:
      return "missing terminator";
    case DecodeError::badText:
      return "text is not valid UTF-8";
    case DecodeError::badSelector:
      return "malformed selector";
    case DecodeError::trailingBytes:
      return "trailing bytes after the last field";
  }
  return "unknown decode error";
}

std::expected<std::size_t, DecodeError> decodeFrameLength(std::string_view header,
                                                          std::size_t maxFrameSize) {
  Reader reader(header);
  auto length = reader.u32();
  if (!length) return std::unexpected(length.error());
  if (*length > maxFrameSize - frameHeaderSize) return std::unexpected(DecodeError::oversized);
  return *length;
}

std::expected<Request, DecodeError> decodeRequestFrame(std::string_view frame) {
  auto length = decodeFrameLength(frame, maxRequestFrameSize);
  if (!length) return std::unexpected(length.error());
  const std::string_view payload = frame.substr(frameHeaderSize);
  if (payload.size() < *length) return std::unexpected(DecodeError::truncated);
  if (payload.size() > *length) return std::unexpected(DecodeError::trailingBytes);
  return decodeRequest(payload);
}

std::expected<Request, DecodeError> decodeRequest(std::string_view payload) {
  if (payload.size() > maxRequestFrameSize - frameHeaderSize) {
    return std::unexpected(DecodeError::oversized);
  }
  Reader reader(payload);
  auto kind = reader.byte();
  if (!kind) return std::unexpected(kind.error());
  if (*kind != static_cast<std::uint8_t>(FrameKind::request)) {
    return std::unexpected(DecodeError::badKind);
  }
  Request request;
  auto selector = readSelector(reader);
  if (!selector) return std::unexpected(selector.error());
  request.selector = std::move(*selector);
  auto count = reader.byte();
  if (!count) return std::unexpected(count.error());
  if (*count > maxArgumentCount) return std::unexpected(DecodeError::oversized);
  for (std::uint8_t i = 0; i < *count; ++i) {
    auto value = readValue(reader);
    if (!value) return std::unexpected(value.error());
    request.arguments.push_back(std::move(*value));
  }
  if (!reader.isAtEnd()) return std::unexpected(DecodeError::trailingBytes);
  return request;
}

std::expected<ReplyView, DecodeError> decodeReply(std::string_view payload) {
  if (payload.size() > maxReplyFrameSize - frameHeaderSize) {
    return std::unexpected(DecodeError::oversized);
  }
  Reader reader(payload);
  auto kind = reader.byte();
  if (!kind) return std::unexpected(kind.error());
  if (*kind != static_cast<std::uint8_t>(FrameKind::reply)) {
    return std::unexpected(DecodeError::badKind);
  }
  auto text = readSlot(reader, ValueType::text);
  if (!text) return std::unexpected(text.error());
  ReplyView view{.bytes = std::nullopt, .text = *text, .sealedBytesSize = std::nullopt};
  if (reader.peek() == sealedBytesTag || reader.peek() == sealedPartTag) {
    auto tag = reader.byte();
    if (!tag) return std::unexpected(tag.error());
    view.isLeadingPart = *tag == sealedPartTag;
    if (view.isLeadingPart && view.text) return std::unexpected(DecodeError::badTag);
    auto size = reader.u32();
    if (!size) return std::unexpected(size.error());
    // Counted against the frame's limit as though the bytes were inline, as
    // the helper counts them.
    if (*size > maxReplyFrameSize - frameHeaderSize - payload.size()) {
      return std::unexpected(DecodeError::oversized);
    }
    view.sealedBytesSize = *size;
  } else {
    auto bytes = readSlot(reader, ValueType::bytes);
    if (!bytes) return std::unexpected(bytes.error());
    view.bytes = *bytes;
  }
  if (!reader.isAtEnd()) return std::unexpected(DecodeError::trailingBytes);
  return view;
}

std::expected<std::string, EncodeError> encodeRequest(const Request& request) {
  const std::string_view selector = request.selector;
  if (selector.empty() || !std::ranges::all_of(selector, isSelectorCharacter)) {
    return std::unexpected(EncodeError::badText);
  }
  if (selector.size() > maxSelectorLength || request.arguments.size() > maxArgumentCount) {
    return std::unexpected(EncodeError::oversized);
  }
  std::size_t size = frameHeaderSize + 1 + 1 + selector.size() + 1 + 1;
  for (const Value& argument : request.arguments) {
    if (argument.type == ValueType::text && !isValidText(argument.content)) {
      return std::unexpected(EncodeError::badText);
    }
    size += encodedSize(argument);
  }
  if (size > maxRequestFrameSize) return std::unexpected(EncodeError::oversized);

  std::string frame;
  frame.reserve(size);
  appendU32(frame, size - frameHeaderSize);
  frame.push_back(static_cast<char>(FrameKind::request));
  frame.push_back(static_cast<char>(selector.size()));
  frame.append(selector);
  frame.push_back(terminator);
  frame.push_back(static_cast<char>(request.arguments.size()));
  for (const Value& argument : request.arguments) {
    frame.push_back(static_cast<char>(argument.type));
    if (argument.type == ValueType::text) appendText(frame, argument.content);
    if (argument.type == ValueType::bytes) {
      appendU32(frame, argument.content.size());
      frame.append(argument.content);
    }
  }
  return frame;
}

namespace {

// The frame of `reply`, whose bytes (when it has any) either follow the head
// or, with a `sealedTag`, are only announced there.
std::expected<ReplyFrame, EncodeError> encodeReplyFrame(const Reply& reply,
                                                        std::optional<std::uint8_t> sealedTag,
                                                        std::size_t announcedSize) {
  if (reply.text && !isValidText(*reply.text)) return std::unexpected(EncodeError::badText);
  const bool isSealed = sealedTag.has_value();
  const bool hasBytes = isSealed || reply.bytes.has_value();
  const std::size_t textSize = reply.text ? 1 + 4 + reply.text->size() + 1 : 1;
  const std::size_t bytesSize = hasBytes ? 1 + 4 : 1;
  const std::size_t bodySize = isSealed ? 0 : announcedSize;
  const std::size_t size = frameHeaderSize + 1 + textSize + bytesSize + bodySize;
  // A sealed document obeys the frame's limit too: the client's bound on
  // what it maps is the same.
  if (announcedSize > maxReplyFrameSize || size + (announcedSize - bodySize) > maxReplyFrameSize) {
    return std::unexpected(EncodeError::oversized);
  }
  ReplyFrame frame;
  frame.head.reserve(size - bodySize);
  appendU32(frame.head, size - frameHeaderSize);
  frame.head.push_back(static_cast<char>(FrameKind::reply));
  frame.head.push_back(static_cast<char>(reply.text ? ValueType::text : ValueType::nil));
  if (reply.text) appendText(frame.head, *reply.text);
  if (isSealed) {
    frame.head.push_back(static_cast<char>(*sealedTag));
    appendU32(frame.head, announcedSize);
    return frame;
  }
  frame.head.push_back(static_cast<char>(reply.bytes ? ValueType::bytes : ValueType::nil));
  if (reply.bytes) {
    appendU32(frame.head, bodySize);
    frame.body = *reply.bytes;
  }
  return frame;
}

}  // namespace

std::expected<ReplyFrame, EncodeError> encodeReply(const Reply& reply) {
  return encodeReplyFrame(reply, std::nullopt, reply.bytes ? reply.bytes->size() : 0);
}

std::expected<std::string, EncodeError> encodeSealedReply(std::size_t size,
                                                          const std::optional<std::string>& text) {
  auto frame = encodeReplyFrame(Reply{std::nullopt, text}, sealedBytesTag, size);
  if (!frame) return std::unexpected(frame.error());
  return std::move(frame->head);
}

std::expected<std::string, EncodeError> encodeSealedPart(std::size_t size) {
  auto frame = encodeReplyFrame(Reply{}, sealedPartTag, size);
  if (!frame) return std::unexpected(frame.error());
  return std::move(frame->head);
}

}  // namespace kelmarind::protocol
