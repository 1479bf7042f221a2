#include "platform/wire_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kelmarind::platform::wire {
namespace {

Value text(std::string content) { return {ValueType::text, std::move(content)}; }
Value bytes(std::string content) { return {ValueType::bytes, std::move(content)}; }

std::string frameOf(const Request& request) {
  auto frame = encodeRequest(request);
  EXPECT_TRUE(frame.has_value());
  return frame.value_or("");
}

std::string prefixed(std::string_view payload) {
  std::string frame(frameHeaderSize, '\0');
  for (std::size_t i = 0; i < frameHeaderSize; ++i)
    frame[i] = char((payload.size() >> (8 * i)) & 0xff);
  return frame.append(payload);
}

template <typename T, typename E>
std::optional<E> errorOf(const std::expected<T, E>& result) {
  if (result) return std::nullopt;
  return result.error();
}

const Request walkRequest{std::string(walkSubtreeAtPathSelector), {text("/Users/x")}};

TEST(WireProtocolTest, RequestsSurviveEncodingAndDecoding) {
  const Request cases[] = {
      walkRequest,
      {std::string(walkSubtreeAtPathSelector), {Value{}}},
      {std::string(pingWithReplySelector), {}},
      {"a:b_9", {bytes(std::string("\0\xff", 2)), text(""), Value{}, bytes("")}},
      {std::string(maxSelectorLength, 's'), std::vector<Value>(maxArgumentCount, text("é"))},
  };
  for (const Request& request : cases) {
    EXPECT_EQ(decodeRequestFrame(frameOf(request)), request) << request.selector;
  }
}

TEST(WireProtocolTest, RejectsEveryMalformedRequestPayload) {
  // A valid walk payload is 01 | 18 "walkSubtreeAtPath:reply:" 00 | 01 | 01 len "/Users/x" 00.
  const std::string valid = frameOf(walkRequest).substr(frameHeaderSize);
  const std::size_t afterSelector = 2 + walkSubtreeAtPathSelector.size();
  auto with = [&](std::size_t at, std::string_view replacement) {
    return std::string(valid).replace(at, replacement.size(), replacement);
  };
  const struct {
    const char* name;
    std::string payload;
    DecodeError error;
  } cases[] = {
      {"empty", "", DecodeError::truncated},
      {"reply kind", with(0, "\x02"), DecodeError::badKind},
      {"empty selector", std::string("\x01\x00\x00\x00", 4), DecodeError::badSelector},
      {"selector over limit", with(1, "\x41"), DecodeError::oversized},
      {"selector past end", valid.substr(0, 10), DecodeError::truncated},
      {"selector unterminated", with(afterSelector, "x"), DecodeError::badTerminator},
      {"selector with space", with(5, " "), DecodeError::badSelector},
      {"argument count over limit", with(afterSelector + 1, "\x09"), DecodeError::oversized},
      {"argument missing", valid.substr(0, afterSelector + 2), DecodeError::truncated},
      {"unknown tag", with(afterSelector + 2, "\x03"), DecodeError::badTag},
      {"text length past end", with(afterSelector + 3, "\x09"), DecodeError::truncated},
      {"text length short", with(afterSelector + 3, "\x07"), DecodeError::badTerminator},
      {"text not UTF-8", with(afterSelector + 8, "\xc3"), DecodeError::badText},
      {"text holding NUL", with(afterSelector + 8, std::string(1, '\0')), DecodeError::badText},
      {"trailing byte", valid + "x", DecodeError::trailingBytes},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeRequest(c.payload), std::unexpected(c.error)) << c.name;
  }
}

TEST(WireProtocolTest, RejectsPrefixThatDisagreesWithFrame) {
  const std::string frame = frameOf(walkRequest);
  EXPECT_EQ(decodeRequestFrame(frame.substr(0, frame.size() - 1)),
            std::unexpected(DecodeError::truncated));
  EXPECT_EQ(decodeRequestFrame(frame + "x"), std::unexpected(DecodeError::trailingBytes));
  EXPECT_EQ(decodeRequestFrame(frame.substr(0, 3)), std::unexpected(DecodeError::truncated));
}

TEST(WireProtocolTest, AcceptsRequestFrameOfExactlyTheLimitAndNoMore) {
  // prefix 4, kind 1, selector 1 + 14 + 1, count 1, bytes tag 1 + length 4.
  const std::size_t overhead = 4 + 1 + 1 + pingWithReplySelector.size() + 1 + 1 + 1 + 4;
  Request request{std::string(pingWithReplySelector),
                  {bytes(std::string(maxRequestFrameSize - overhead, 'x'))}};
  const std::string frame = frameOf(request);
  ASSERT_EQ(frame.size(), maxRequestFrameSize);
  EXPECT_EQ(decodeRequestFrame(frame), request);

  request.arguments[0].content.push_back('x');
  EXPECT_EQ(encodeRequest(request), std::unexpected(EncodeError::oversized));
  EXPECT_EQ(decodeRequest(prefixed(std::string(maxRequestFrameSize - 3, 'x')).substr(4)),
            std::unexpected(DecodeError::oversized));
}

TEST(WireProtocolTest, FrameLengthIsCheckedAgainstItsLimit) {
  const struct {
    std::size_t length;
    std::size_t limit;
    bool isAccepted;
  } cases[] = {
      {maxRequestFrameSize - frameHeaderSize, maxRequestFrameSize, true},
      {maxRequestFrameSize - frameHeaderSize + 1, maxRequestFrameSize, false},
      {maxReplyFrameSize - frameHeaderSize, maxReplyFrameSize, true},
      {maxReplyFrameSize - frameHeaderSize + 1, maxReplyFrameSize, false},
      {0xffffffff, maxReplyFrameSize, false},
  };
  for (const auto& c : cases) {
    std::string header(frameHeaderSize, '\0');
    for (std::size_t i = 0; i < frameHeaderSize; ++i)
      header[i] = char((c.length >> (8 * i)) & 0xff);
    const auto length = decodeFrameLength(header, c.limit);
    EXPECT_EQ(length.has_value(), c.isAccepted) << c.length;
    if (c.isAccepted) {
      EXPECT_EQ(*length, c.length);
    }
  }
}

TEST(WireProtocolTest, RepliesSurviveEncodingAndDecodingWithBytesLast) {
  const Reply cases[] = {
      {std::string("{\"name\":\"x\"}"), std::nullopt},
      Reply::ofText("ok"),
      {std::string("\0\x01", 2), std::string("both")},
      {std::nullopt, std::nullopt},
      {std::string(), std::string()},
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
    if (view->bytes) {
      EXPECT_EQ(view->bytes->data() + view->bytes->size(), payload.end());
    }
  }
}

TEST(WireProtocolTest, RejectsReplySlotsOfTheWrongType) {
  const struct {
    const char* name;
    std::string payload;
    DecodeError error;
  } cases[] = {
      {"request kind", std::string("\x01\x00\x00", 3), DecodeError::badKind},
      {"bytes in text slot", std::string("\x02\x02\0\0\0\0\x00", 7), DecodeError::badTag},
      {"text in bytes slot", std::string("\x02\x00\x01\0\0\0\0\0", 8), DecodeError::badTag},
      {"missing bytes slot", std::string("\x02\x00", 2), DecodeError::truncated},
      {"trailing byte", std::string("\x02\x00\x00\x00", 4), DecodeError::trailingBytes},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf(decodeReply(c.payload)), c.error) << c.name;
  }
}

TEST(WireProtocolTest, RefusesToEncodeWhatTheDecoderWouldReject) {
  EXPECT_EQ(encodeRequest({"", {}}), std::unexpected(EncodeError::badText));
  EXPECT_EQ(encodeRequest({"ping with space", {}}), std::unexpected(EncodeError::badText));
  EXPECT_EQ(encodeRequest({std::string(maxSelectorLength + 1, 's'), {}}),
            std::unexpected(EncodeError::oversized));
  EXPECT_EQ(encodeRequest({"p", std::vector<Value>(maxArgumentCount + 1)}),
            std::unexpected(EncodeError::oversized));
  EXPECT_EQ(encodeRequest({"p", {text("\xff")}}), std::unexpected(EncodeError::badText));
  EXPECT_EQ(errorOf(encodeReply(Reply::ofText(std::string(1, '\0')))), EncodeError::badText);
}

}  // namespace
}  // namespace kelmarind::platform::wire
