// The whole wire protocol between the client and the helper: limits, frame
// layout, selectors, value tags, and pure encoders and decoders (no I/O), so
// every byte that arrives can be checked without a socket. docs/protocol.md
// shows the same layout byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmarind::protocol {

// The one endpoint of the helper and the Unix stream socket that carries it.
inline constexpr std::string_view endpointName = "com.kelmarind.helper";
inline constexpr std::string_view defaultSocketPath = "/run/com.kelmarind.helper.sock";

inline constexpr std::string_view walkSubtreeAtPathSelector = "walkSubtreeAtPath:reply:";
inline constexpr std::string_view pingWithReplySelector = "pingWithReply:";

// Every frame starts with the length of the payload that follows, a 32-bit
// unsigned little-endian number; the limits below count the whole frame.
inline constexpr std::size_t frameHeaderSize = 4;
inline constexpr std::size_t maxRequestFrameSize = std::size_t{64} * 1024;
// A walk document of a whole volume can be very large; the client accepts up
// to this much and the helper never sends more.
inline constexpr std::size_t maxReplyFrameSize = std::size_t{2} * 1024 * 1024 * 1024;
inline constexpr std::size_t maxSelectorLength = 64;
inline constexpr std::size_t maxArgumentCount = 8;

// First payload byte.
enum class FrameKind : std::uint8_t { request = 1, reply = 2 };

// Tag byte of each value. A declared text or bytes argument also accepts nil.
enum class ValueType : std::uint8_t { nil = 0, text = 1, bytes = 2 };

// The tag of a reply's bytes slot when the bytes travel beside the frame, in
// a sealed memory file whose descriptor comes with the frame's bytes: a u32
// length follows, and nothing else. Never a request argument.
inline constexpr std::uint8_t sealedBytesTag = 3;
// Reply bytes up to this size travel in the frame; larger ones in a sealed
// memory file, which costs the client no copy and the helper nothing once
// the descriptor is sent.
inline constexpr std::size_t maxInlineReplyBytes = std::size_t{64} * 1024;
// The tag of the bytes slot of a leading part of a large reply: its bytes are
// in the sealed memory file that comes with the frame, as for
// sealedBytesTag, and the reply goes on in the next frame. A part has no
// text, and holds a whole number of the client's pages, so the client can
// map the parts one after another. The helper sends a document of more than
// replyPartSize bytes in parts of that size, the first as soon as it is
// written, so the client copies them out while the rest is being encoded.
inline constexpr std::uint8_t sealedPartTag = 4;
inline constexpr std::size_t replyPartSize = std::size_t{4} << 20;

// One argument of a request. `content` is empty for nil. A text is valid UTF-8
// (U+0000 included); bytes are anything.
struct Value {
  ValueType type = ValueType::nil;
  std::string content;
  friend bool operator==(const Value&, const Value&) = default;
};

struct Request {
  std::string selector;
  std::vector<Value> arguments;
  friend bool operator==(const Request&, const Request&) = default;
};

// The answer to one request: optional bytes and an optional text.
struct Reply {
  std::optional<std::string> bytes;
  std::optional<std::string> text;

  [[nodiscard]] static Reply ofText(std::string_view text) {
    return Reply{std::nullopt, std::string(text)};
  }
  friend bool operator==(const Reply&, const Reply&) = default;
};

// A decoded reply whose views point into the payload it was decoded from.
// The bytes, when present, are always the payload's last bytes, so a reader
// can keep the document without copying it. `sealedBytesSize` instead says
// the bytes are in the memory file that came with the frame, and how many
// there must be; with `isLeadingPart`, more of them follow in the next frame.
struct ReplyView {
  std::optional<std::string_view> bytes;
  std::optional<std::string_view> text;
  std::optional<std::size_t> sealedBytesSize;
  bool isLeadingPart = false;
};

enum class DecodeError {
  truncated,      // fewer bytes than a length or count announced
  oversized,      // a frame, selector or argument list longer than its limit
  badKind,        // first payload byte is not the expected frame kind
  badTag,         // unknown value tag, or a type not allowed in that place
  badTerminator,  // a selector or text not followed by its NUL byte
  badText,        // a text that is not valid UTF-8
  badSelector,    // empty selector, or one with characters outside [A-Za-z0-9:_]
  trailingBytes,  // bytes left over after the last field
};

enum class EncodeError {
  oversized,  // the frame would exceed its limit
  badText,    // a selector or text the decoder would refuse
};

[[nodiscard]] std::string_view describe(DecodeError error);

// Reads the length prefix of a frame whose first `frameHeaderSize` bytes are
// `header` and returns the payload length. Fails with oversized when the
// whole frame would exceed `maxFrameSize`, with truncated when `header` is
// shorter than a prefix.
[[nodiscard]] std::expected<std::size_t, DecodeError> decodeFrameLength(std::string_view header,
                                                                        std::size_t maxFrameSize);

// A whole request frame, prefix included. Checks everything the payload
// decoder checks, plus the prefix against the bytes given.
[[nodiscard]] std::expected<Request, DecodeError> decodeRequestFrame(std::string_view frame);
// The payload of a request frame (without its prefix).
[[nodiscard]] std::expected<Request, DecodeError> decodeRequest(std::string_view payload);
// The payload of a reply frame (without its prefix); views point into it.
[[nodiscard]] std::expected<ReplyView, DecodeError> decodeReply(std::string_view payload);

// A whole request frame, prefix included.
[[nodiscard]] std::expected<std::string, EncodeError> encodeRequest(const Request& request);

// A reply frame in two pieces, to be sent one after the other: `head` holds
// the prefix and every field, `body` views the reply's bytes (valid as long as
// the encoded Reply is), so a large document is never copied.
struct ReplyFrame {
  std::string head;
  std::string_view body;
};
[[nodiscard]] std::expected<ReplyFrame, EncodeError> encodeReply(const Reply& reply);
// The whole frame of a reply whose `size` bytes are in a sealed memory file,
// which the sender passes with it; the frame only announces their size.
[[nodiscard]] std::expected<std::string, EncodeError> encodeSealedReply(
    std::size_t size, const std::optional<std::string>& text);
// The whole frame of a leading part of a reply whose `size` bytes are in a
// sealed memory file, which the sender passes with it.
[[nodiscard]] std::expected<std::string, EncodeError> encodeSealedPart(std::size_t size);

}  // namespace kelmarind::protocol
