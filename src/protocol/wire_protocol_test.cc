#include "protocol/wire_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmarind::protocol {
namespace {

Value text(std::string content) { return {ValueType::text, std::move(content)}; }
Value bytes(std::string content) { return {ValueType::bytes, std::move(content)}; }

std::string lengthPrefix(std::size_t length) {
  std::string prefix(frameHeaderSize, '\0');
  for (std::size_t i = 0; i < frameHeaderSize; ++i) prefix[i] = char((length >> (8 * i)) & 0xff);
  return prefix;
}

const Request walkRequest{std::string(walkSubtreeAtPathSelector), {text("/Users/x")}};

TEST(WireProtocolTest, RequestsSurviveEncodingAndDecoding) {
  const Request cases[] = {
      walkRequest,
      {std::string(pingWithReplySelector), {}},
      {"a:b_9", {bytes(std::string("\0\xff", 2)), text(""), Value{}}},
      {std::string(walkSubtreeAtPathSelector), {text(std::string("/a\0b", 4))}},
      {std::string(maxSelectorLength, 's'), std::vector<Value>(maxArgumentCount, text("é"))},
  };
  for (const Request& request : cases) {
    EXPECT_EQ(decodeRequestFrame(encodeRequest(request).value_or("")), request);
  }
}

TEST(WireProtocolTest, RejectsEveryMalformedRequestFrame) {
  // The walk payload: 01 | 18 "walkSubtreeAtPath:reply:" 00 | 01 | 01 len "/Users/x" 00.
  const std::string valid = encodeRequest(walkRequest)->substr(frameHeaderSize);
  const std::size_t afterSelector = 2 + walkSubtreeAtPathSelector.size();
  auto with = [&](std::size_t at, std::string_view replacement) {
    return std::string(valid).replace(at, replacement.size(), replacement);
  };
  auto frame = [](std::string_view payload) {
    return lengthPrefix(payload.size()) + std::string(payload);
  };
  const struct {
    const char* name;
    std::string frame;
    DecodeError error;
  } cases[] = {
      {"no prefix", valid.substr(0, 3), DecodeError::truncated},
      {"frame cut short", frame(valid).substr(0, valid.size() + 3), DecodeError::truncated},
      {"byte past the frame", frame(valid) + "x", DecodeError::trailingBytes},
      {"empty payload", frame(""), DecodeError::truncated},
      {"reply kind", frame(with(0, "\x02")), DecodeError::badKind},
      {"empty selector", frame(std::string("\x01\x00\x00\x00", 4)), DecodeError::badSelector},
      {"selector over limit", frame(with(1, "\x41")), DecodeError::oversized},
      {"selector past end", frame(valid.substr(0, 10)), DecodeError::truncated},
      {"selector unterminated", frame(with(afterSelector, "x")), DecodeError::badTerminator},
      {"selector with space", frame(with(5, " ")), DecodeError::badSelector},
      {"arguments over limit", frame(with(afterSelector + 1, "\x09")), DecodeError::oversized},
      {"argument missing", frame(valid.substr(0, afterSelector + 2)), DecodeError::truncated},
      {"unknown tag", frame(with(afterSelector + 2, "\x03")), DecodeError::badTag},
      {"text length past end", frame(with(afterSelector + 3, "\x09")), DecodeError::truncated},
      {"text length short", frame(with(afterSelector + 3, "\x07")), DecodeError::badTerminator},
      {"text not UTF-8", frame(with(afterSelector + 8, "\xc3")), DecodeError::badText},
      {"trailing byte", frame(valid + "x"), DecodeError::trailingBytes},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeRequestFrame(c.frame), std::unexpected(c.error)) << c.name;
  }
}

TEST(WireProtocolTest, AcceptsFramesOfExactlyTheLimitAndNoMore) {
  // prefix 4, kind 1, selector 1 + 14 + 1, count 1, bytes tag 1 + length 4.
  const std::size_t overhead = 4 + 1 + 1 + pingWithReplySelector.size() + 1 + 1 + 1 + 4;
  Request request{std::string(pingWithReplySelector),
                  {bytes(std::string(maxRequestFrameSize - overhead, 'x'))}};
  const auto frame = encodeRequest(request);
  ASSERT_EQ(frame->size(), maxRequestFrameSize);
  EXPECT_EQ(decodeRequestFrame(*frame), request);
  request.arguments[0].content.push_back('x');
  EXPECT_EQ(encodeRequest(request), std::unexpected(EncodeError::oversized));

  for (std::size_t limit : {maxRequestFrameSize, maxReplyFrameSize}) {
    const std::size_t largest = limit - frameHeaderSize;
    EXPECT_EQ(decodeFrameLength(lengthPrefix(largest), limit), largest);
    EXPECT_EQ(decodeFrameLength(lengthPrefix(largest + 1), limit),
              std::unexpected(DecodeError::oversized));
  }
}

TEST(WireProtocolTest, RepliesSurviveEncodingAndDecodingWithBytesLast) {
  const Reply cases[] = {
      {std::string("{\"name\":\"x\"}"), std::nullopt},
      Reply::ofText("ok"),
      {std::string("\0\x01", 2), std::string("both")},
      {std::nullopt, std::nullopt},
  };
  for (const Reply& reply : cases) {
    auto frame = encodeReply(reply);
    ASSERT_TRUE(frame.has_value());
    const std::string whole = frame->head + std::string(frame->body);
    const std::string_view payload = std::string_view(whole).substr(frameHeaderSize);
    ASSERT_EQ(decodeFrameLength(whole, maxReplyFrameSize), payload.size());
    auto view = decodeReply(payload);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->text, reply.text);
    EXPECT_EQ(view->bytes, reply.bytes);
    if (const auto& bytes = view->bytes) {
      EXPECT_EQ(bytes->end(), payload.end());
    }
  }
}

// A sealed document counts against the frame's limit as inline bytes would:
// the largest the helper can announce is the largest the client accepts.
TEST(WireProtocolTest, SealedBytesAreBoundedAsInlineBytesAre) {
  for (const std::optional<std::string>& text : {std::optional<std::string>(), {"note"}}) {
    const std::size_t head = encodeSealedReply(0, text)->size();
    const std::size_t largest = maxReplyFrameSize - head;
    const auto decoded = [](const std::string& frame) {
      return decodeReply(std::string_view(frame).substr(frameHeaderSize));
    };
    auto frame = encodeSealedReply(largest, text);
    ASSERT_TRUE(frame.has_value());
    const auto view = decoded(*frame);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->sealedBytesSize, largest);
    EXPECT_EQ(view->text, text);
    EXPECT_EQ(encodeSealedReply(largest + 1, text), std::unexpected(EncodeError::oversized));
    // The same frame announcing one byte more is refused when read.
    std::string beyond = *frame;
    const auto over = static_cast<std::uint32_t>(largest + 1);
    for (int i = 0; i < 4; ++i) beyond[beyond.size() - 4 + i] = static_cast<char>(over >> (8 * i));
    EXPECT_EQ(decoded(beyond), std::unexpected(DecodeError::oversized));
  }
}

// A leading part reads back as one, and a whole sealed reply never does.
TEST(WireProtocolTest, LeadingPartsAreTheirOwnForm) {
  const auto decoded = [](const std::string& frame) {
    return decodeReply(std::string_view(frame).substr(frameHeaderSize));
  };
  const auto part = decoded(*encodeSealedPart(replyPartSize));
  ASSERT_TRUE(part.has_value());
  EXPECT_TRUE(part->isLeadingPart);
  EXPECT_EQ(part->sealedBytesSize, replyPartSize);
  EXPECT_FALSE(part->text.has_value());
  const auto whole = decoded(*encodeSealedReply(replyPartSize, std::nullopt));
  ASSERT_TRUE(whole.has_value());
  EXPECT_FALSE(whole->isLeadingPart);
}

TEST(WireProtocolTest, RejectsReplySlotsOfTheWrongType) {
  const struct {
    std::string payload;
    DecodeError error;
  } cases[] = {
      {{"\x01\x00\x00", 3}, DecodeError::badKind},
      {{"\x02\x02\0\0\0\0\x00", 7}, DecodeError::badTag},
      {{"\x02\x00\x01\0\0\0\0\0", 8}, DecodeError::badTag},
      {{"\x02\x00\x00\x00", 4}, DecodeError::trailingBytes},
      // A leading part of a document carries no text.
      {{"\x02\x01\x01\0\0\0x\0\x04\0\0\x40\0", 13}, DecodeError::badTag},
  };
  for (const auto& c : cases) {
    auto view = decodeReply(c.payload);
    ASSERT_FALSE(view.has_value());
    EXPECT_EQ(view.error(), c.error);
  }
}

}  // namespace
}  // namespace kelmarind::protocol
