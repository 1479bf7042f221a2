#include "client/scan_client.h"

#include <array>
#include <cerrno>
#include <utility>

#include "platform/linux/unix_socket.h"

namespace kelmarind::client {
namespace wire = protocol;
namespace {

// What went wrong with a reply that arrived whole.
struct Fault {
  ClientError::Kind kind;
  std::string cause;
};

// The reply frame in `payload`, with the descriptors that came with it:
// exactly one when it announces a sealed document or part, none otherwise.
// A leading part goes to `assembly`, and gives no reply yet.
std::expected<std::optional<ScanReply>, Fault> digest(std::string payload,
                                                      platform::linux::Received received,
                                                      DocumentAssembly& assembly) {
  using Kind = ClientError::Kind;
  auto view = wire::decodeReply(payload);
  if (!view) {
    return std::unexpected(
        Fault{Kind::malformedReply,
              "sent a malformed reply: " + std::string(wire::describe(view.error()))});
  }
  const std::size_t expectedCount = view->sealedBytesSize ? 1 : 0;
  if (received.descriptors.size() != expectedCount || received.isTruncated) {
    return std::unexpected(Fault{Kind::malformedReply, "passed descriptors it did not announce"});
  }
  if (view->isLeadingPart) {
    auto added =
        assembly.add(std::move(received.descriptors.front()), view->sealedBytesSize.value_or(0));
    if (added) return std::nullopt;
    if (added.error().code == ECANCELED) {
      return std::unexpected(Fault{Kind::broken, "was left by the document's reader"});
    }
    return std::unexpected(
        Fault{Kind::malformedReply,
              "passed a part of a document that cannot be trusted: " + added.error().message()});
  }
  ScanReply reply;
  if (const auto& text = view->text) reply.text = std::string(*text);
  if (const auto& sealedSize = view->sealedBytesSize) {
    auto document =
        ReceivedDocument::fromSealedFile(std::move(received.descriptors.front()), *sealedSize);
    if (!document) {
      return std::unexpected(
          Fault{Kind::malformedReply,
                "passed a document that cannot be trusted: " + document.error().message()});
    }
    reply.bytes = std::move(*document);
  } else if (const auto& bytes = view->bytes) {
    // The bytes are the payload's tail.
    payload.erase(0, static_cast<std::size_t>(bytes->data() - payload.data()));
    reply.bytes = ReceivedDocument(std::move(payload));
  }
  // Parts followed by a text alone were given up by the helper.
  if (reply.bytes) {
    auto whole = std::move(assembly).finish(std::move(*reply.bytes));
    if (!whole) {
      return std::unexpected(
          Fault{Kind::malformedReply, "passed a document too large: " + whole.error().message()});
    }
    reply.bytes = std::move(*whole);
  }
  return reply;
}

}  // namespace

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

std::expected<ScanReply, ClientError> ScanClient::call(const wire::Request& request,
                                                       DocumentPartSink sink) {
  using Kind = ClientError::Kind;
  auto frame = wire::encodeRequest(request);
  if (!frame) {
    return std::unexpected(fail(Kind::broken, frame.error() == protocol::EncodeError::oversized
                                                  ? "cannot carry a request this large"
                                                  : "cannot carry a text that is not UTF-8"));
  }
  return callFramed(*frame, std::move(sink));
}

std::expected<ScanReply, ClientError> ScanClient::callFramed(std::string_view frame,
                                                             DocumentPartSink sink) {
  using Kind = ClientError::Kind;
  if (!socket_) return std::unexpected(fail(Kind::broken, "is closed after an earlier failure"));
  const std::array<std::string_view, 1> pieces{frame};
  if (auto sent = platform::linux::sendAll(socket_.get(), pieces); !sent) {
    return std::unexpected(fail(Kind::broken, "failed: " + sent.error().message()));
  }
  DocumentAssembly assembly(std::move(sink));
  for (;;) {
    auto reply = receiveReplyFrame(assembly);
    if (!reply) return std::unexpected(reply.error());
    if (auto& whole = *reply) return std::move(*whole);
  }
}

std::expected<std::optional<ScanReply>, ClientError> ScanClient::receiveReplyFrame(
    DocumentAssembly& assembly) {
  using Kind = ClientError::Kind;
  std::array<char, wire::frameHeaderSize> header{};
  auto head = platform::linux::receiveFully(socket_.get(), header);
  if (!head) return std::unexpected(fail(Kind::broken, "failed: " + head.error().message()));
  if (head->size != header.size()) {
    return std::unexpected(fail(Kind::broken, "closed without a reply"));
  }
  auto length = wire::decodeFrameLength({header.data(), header.size()}, wire::maxReplyFrameSize);
  if (!length) return std::unexpected(fail(Kind::malformedReply, "sent an oversized reply"));
  // Filled by the read, never zeroed first: a document can be large.
  std::string payload;
  std::expected<platform::linux::Received, platform::OsError> body;
  // g++ 12 hands the operation the capacity, not the size asked for.
  payload.resize_and_overwrite(*length, [&](char* data, std::size_t) {
    body = platform::linux::receiveFully(socket_.get(), {data, *length});
    return body ? body->size : 0;
  });
  if (!body) return std::unexpected(fail(Kind::broken, "failed: " + body.error().message()));
  if (payload.size() != *length) {
    return std::unexpected(fail(Kind::broken, "closed in the middle of a reply"));
  }
  for (auto& descriptor : body->descriptors) head->descriptors.push_back(std::move(descriptor));
  head->isTruncated = head->isTruncated || body->isTruncated;
  auto reply = digest(std::move(payload), std::move(*head), assembly);
  if (!reply) return std::unexpected(fail(reply.error().kind, reply.error().cause));
  return std::move(*reply);
}

std::expected<WalkAnswer, ClientError> ScanClient::walkSubtreeAtPath(
    std::optional<std::string_view> path, DocumentPartSink sink) {
  wire::Request request{.selector = std::string(wire::walkSubtreeAtPathSelector), .arguments = {}};
  request.arguments.push_back(path ? wire::Value{wire::ValueType::text, std::string(*path)}
                                   : wire::Value{});
  auto reply = call(request, std::move(sink));
  if (!reply) return std::unexpected(reply.error());
  if (auto& bytes = reply->bytes) return WalkAnswer(std::move(*bytes));
  if (auto& text = reply->text) return WalkAnswer(std::unexpected(std::move(*text)));
  return std::unexpected(fail(ClientError::Kind::malformedReply, "sent an empty reply"));
}

std::expected<std::string, ClientError> ScanClient::pingWithReply() {
  auto reply =
      call(wire::Request{.selector = std::string(wire::pingWithReplySelector), .arguments = {}});
  if (!reply) return std::unexpected(reply.error());
  if (auto& text = reply->text) return std::move(*text);
  return std::unexpected(fail(ClientError::Kind::malformedReply, "sent a ping reply without text"));
}

}  // namespace kelmarind::client
