// One client connection as the service sees it: the code requirement its peer
// must meet, the interface and object it exports, and the one-shot reply
// sender handed to the object with each message.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "protocol/wire_protocol.h"

namespace kelmarind::platform {

// The shape of a reply: a text alone, or optional bytes with an optional text.
enum class ReplyType { text, bytesAndText };

struct ExportedMethod {
  std::string selector;
  // One entry per argument; a text or bytes argument also accepts nil.
  std::vector<protocol::ValueType> argumentTypes;
  ReplyType replyType = ReplyType::text;

  // Whether `reply` has this method's reply shape. A reply that does not is
  // replaced by a text naming the mismatch before it is sent.
  [[nodiscard]] bool admits(const protocol::Reply& reply) const;
};

// The selectors a connection accepts, with their argument and reply types.
// A message that does not match one of them invalidates its connection.
struct ExportedInterface {
  std::vector<ExportedMethod> methods;

  // The method `request` calls, or nullptr when the selector is unknown or
  // an argument count or type does not match.
  [[nodiscard]] const ExportedMethod* match(const protocol::Request& request) const;
};

// A reply's bytes, written where they will travel as they are made, so that a
// large document is neither held whole nor copied on its way out. Made by the
// channel the reply goes to (ReplySender::makeBytes).
class ReplyBytes {
 public:
  virtual ~ReplyBytes() = default;
  // Appends `chunk`. Any thread may write, one at a time.
  [[nodiscard]] virtual std::expected<void, OsError> write(std::string_view chunk) = 0;
};

// Reply bytes kept in memory: what a channel with no better place makes.
class ReplyBytesInMemory final : public ReplyBytes {
 public:
  [[nodiscard]] std::expected<void, OsError> write(std::string_view chunk) override {
    bytes_ += chunk;
    return {};
  }
  [[nodiscard]] std::string take() && { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Where a message's reply goes. Implemented by connections, which serve each
// message through replyOnce and so are delivered exactly one reply for it.
class ReplyChannel {
 public:
  virtual ~ReplyChannel() = default;
  // A peer that has gone away makes the reply vanish; that is not an error
  // of the caller's.
  virtual void deliver(protocol::Reply reply) = 0;
  // Where the bytes of a reply to deliverWritten are written: in memory
  // unless the channel has a better place.
  [[nodiscard]] virtual std::unique_ptr<ReplyBytes> makeBytes();
  // Delivers the bytes written to `bytes`, which this channel's makeBytes
  // made, with `text`.
  virtual void deliverWritten(std::unique_ptr<ReplyBytes> bytes, std::optional<std::string> text);
};

// Sends the one reply of one message. Move-only; sending consumes it, so the
// call reads `std::move(reply).send(...)` and a second send is a use after
// move. Dropped unsent, it sends `unansweredText` instead: every message gets
// exactly one reply whatever the exported object does. It must be sent or
// dropped before the object's `invoke` returns.
class ReplySender final {
 public:
  static constexpr std::string_view unansweredText = "The helper did not answer this request.";
  static constexpr std::string_view mismatchedReplyText =
      "The helper's reply did not match its interface.";

  explicit ReplySender(ReplyChannel& channel) : channel_(&channel) {}
  ReplySender(ReplySender&& other) noexcept : channel_(std::exchange(other.channel_, nullptr)) {}
  ReplySender& operator=(ReplySender&&) = delete;
  ReplySender(const ReplySender&) = delete;
  ReplySender& operator=(const ReplySender&) = delete;
  ~ReplySender();

  void send(protocol::Reply reply) &&;
  // Where bytes for sendWritten are written as they are made: for a reply
  // too large to hold whole or to copy.
  [[nodiscard]] std::unique_ptr<ReplyBytes> makeBytes() const;
  // Sends the bytes written to `bytes`, from this sender's makeBytes, with
  // `text`, as send does a reply.
  void sendWritten(std::unique_ptr<ReplyBytes> bytes, std::optional<std::string> text) &&;

 private:
  ReplyChannel* channel_;
};

// The receiver of a connection's messages. Not owned by the connection; it
// must outlive every listener it is exported on. `invoke` runs on the
// connection's thread, may run concurrently for different connections, and
// receives only requests that `match` the exported interface; `request` is
// valid for the call only.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual void invoke(const protocol::Request& request, ReplySender reply) = 0;
};

// Hands `request`, which `method` matched, to `object` and delivers to
// `channel` exactly one reply: the first the object sends (while it still
// runs, so that what it holds for the reply is held until it is delivered),
// `mismatchedReplyText` in place of one `method` does not admit, or
// `unansweredText` once it returns without one. Every connection serves its
// messages through this, a fake as a real one.
void replyOnce(ExportedObject& object, const ExportedMethod& method,
               const protocol::Request& request, ReplyChannel& channel);

// A new connection, handed to the listener's delegate before anything of it
// is read. The delegate configures it and resumes it during that call; it
// must not keep the reference afterwards. Not thread-safe.
class Connection {
 public:
  virtual ~Connection() = default;
  // No message of a peer that fails `requirement` reaches the exported object;
  // such a connection is closed unread. Without a requirement every peer is
  // served.
  virtual void setCodeSigningRequirement(std::string requirement) = 0;
  virtual void setExportedInterface(ExportedInterface interface) = 0;
  virtual void setExportedObject(ExportedObject& object) = 0;
  // Messages are delivered from now on (once the delegate has answered yes).
  // A connection that is not resumed, or has no exported object, is closed.
  virtual void resume() = 0;
};

}  // namespace kelmarind::platform
