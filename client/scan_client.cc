#include "client/scan_client.h"

#include <array>
#include <utility>

#include "platform/linux/unix_socket.h"

namespace kelmarind::client {
namespace wire = protocol;

std::expected<ScanClient, ClientError> ScanClient::connect(std::string socketPath) {
  auto socket = platform::linux::connectUnixSocket(socketPath);
  if (!socket) {
    return std::unexpected(ClientError{
        .kind = ClientError::Kind::unreachable,
        .message = "cannot reach the helper at " + socketPath + ": " + socket.error().message()});
  }
  return ScanClient(std::move(socketPath), std::move(*socket));
}

ScanClient::ScanClient(std::string socketPath, platform::UniqueFd socket)
    : socketPath_(std::move(socketPath)), socket_(std::move(socket)) {}

ClientError ScanClient::fail(ClientError::Kind kind, std::string_view cause) {
  // The stream position is unknown after any failure; never reuse it.
  socket_.reset();
  return ClientError{
      .kind = kind,
      .message = "connection to the helper at " + socketPath_ + " " + std::string(cause)};
}

std::expected<wire::Reply, ClientError> ScanClient::call(const wire::Request& request) {
  using Kind = ClientError::Kind;
  if (!socket_) return std::unexpected(fail(Kind::broken, "is closed after an earlier failure"));
  auto frame = wire::encodeRequest(request);
  if (!frame) {
    return std::unexpected(fail(Kind::broken, frame.error() == protocol::EncodeError::oversized
                                                  ? "cannot carry a request this large"
                                                  : "cannot carry a text that is not UTF-8"));
  }
  const std::array<std::string_view, 1> pieces{*frame};
  if (auto sent = platform::linux::sendAll(socket_.get(), pieces); !sent) {
    return std::unexpected(fail(Kind::broken, "failed: " + sent.error().message()));
  }

  std::array<char, wire::frameHeaderSize> header{};
  auto count = platform::linux::readFully(socket_.get(), header);
  if (!count) return std::unexpected(fail(Kind::broken, "failed: " + count.error().message()));
  if (*count != header.size()) return std::unexpected(fail(Kind::broken, "closed without a reply"));
  auto length = wire::decodeFrameLength({header.data(), header.size()}, wire::maxReplyFrameSize);
  if (!length) return std::unexpected(fail(Kind::malformedReply, "sent an oversized reply"));
  std::string payload(*length, '\0');
  count = platform::linux::readFully(socket_.get(), payload);
  if (!count) return std::unexpected(fail(Kind::broken, "failed: " + count.error().message()));
  if (*count != payload.size()) {
    return std::unexpected(fail(Kind::broken, "closed in the middle of a reply"));
  }

  auto view = wire::decodeReply(payload);
  if (!view) {
    return std::unexpected(
        fail(Kind::malformedReply,
             "sent a malformed reply: " + std::string(wire::describe(view.error()))));
  }
  wire::Reply reply;
  if (view->text) reply.text = std::string(*view->text);
  if (view->bytes) {
    // The bytes are the payload's tail: drop the fields in front instead of
    // copying what may be a very large document.
    payload.erase(0, static_cast<std::size_t>(view->bytes->data() - payload.data()));
    reply.bytes = std::move(payload);
  }
  return reply;
}

std::expected<WalkAnswer, ClientError> ScanClient::walkSubtreeAtPath(
    std::optional<std::string_view> path) {
  wire::Request request{.selector = std::string(wire::walkSubtreeAtPathSelector), .arguments = {}};
  request.arguments.push_back(path ? wire::Value{wire::ValueType::text, std::string(*path)}
                                   : wire::Value{});
  auto reply = call(request);
  if (!reply) return std::unexpected(reply.error());
  if (reply->bytes) return WalkAnswer(std::move(*reply->bytes));
  if (reply->text) return WalkAnswer(std::unexpected(std::move(*reply->text)));
  return std::unexpected(fail(ClientError::Kind::malformedReply, "sent an empty reply"));
}

std::expected<std::string, ClientError> ScanClient::pingWithReply() {
  auto reply =
      call(wire::Request{.selector = std::string(wire::pingWithReplySelector), .arguments = {}});
  if (!reply) return std::unexpected(reply.error());
  if (!reply->text) {
    return std::unexpected(
        fail(ClientError::Kind::malformedReply, "sent a ping reply without text"));
  }
  return std::move(*reply->text);
}

}  // namespace kelmarind::client
