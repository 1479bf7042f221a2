// Feeds arbitrary bytes to the frame decoders. Whatever decodes must encode
// back to the very same bytes: the format has one spelling per message, so a
// difference means the decoder accepted something it should not have.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/wire_protocol.h"

namespace wire = kelmarind::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (auto request = wire::decodeRequestFrame(input)) {
    auto again = wire::encodeRequest(*request);
    if (!again || *again != input) std::abort();
  }

  if (input.size() < wire::frameHeaderSize) return 0;
  const std::string_view payload = input.substr(wire::frameHeaderSize);
  if (auto view = wire::decodeReply(payload)) {
    wire::Reply reply;
    if (view->text) reply.text = std::string(*view->text);
    if (view->bytes) reply.bytes = std::string(*view->bytes);
    std::string whole;
    if (view->sealedBytesSize) {
      // A sealed document's bytes are not in the frame; only its size is.
      auto again = view->isLeadingPart
                       ? wire::encodeSealedPart(*view->sealedBytesSize)
                       : wire::encodeSealedReply(*view->sealedBytesSize, reply.text);
      if (!again) std::abort();
      whole = std::move(*again);
    } else {
      auto again = wire::encodeReply(reply);
      if (!again) std::abort();
      whole = again->head + std::string(again->body);
    }
    if (std::string_view(whole).substr(wire::frameHeaderSize) != payload) std::abort();
  }
  return 0;
}
