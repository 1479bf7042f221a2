#include "platform/linux/unix_listener.h"

#include <malloc.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "platform/connection.h"
#include "platform/linux/released_send.h"
#include "platform/linux/unix_socket.h"

namespace kelmarind::platform::linux {

// Sanitizers bring allocators of their own; glibc's arenas are then never set
// up, and trimming them would crash.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELMARIND_MALLOC_IS_REPLACED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KELMARIND_MALLOC_IS_REPLACED 1
#endif
#endif

inline constexpr std::string_view oversizedReplyText = "The helper's reply is too large to send.";
inline constexpr std::string_view unencodableReplyText = "The helper's reply could not be encoded.";

// One accepted socket: configured by the delegate on the accept thread, then
// served on a thread of its own. Its own ReplyChannel, so replies go straight
// back on the socket of the message they answer.
class UnixConnection final : public Connection, private ReplyChannel {
 public:
  UnixConnection(UniqueFd socket, const PeerVerifier& verifier)
      : socket_(std::move(socket)), verifier_(verifier) {}

  void setCodeSigningRequirement(std::string requirement) override {
    requirement_ = std::move(requirement);
  }
  void setExportedInterface(ExportedInterface interface) override {
    interface_ = std::move(interface);
  }
  void setExportedObject(ExportedObject& object) override { object_ = &object; }
  void resume() override { isResumed_ = true; }

  [[nodiscard]] bool isReadyToServe() const { return isResumed_ && object_ != nullptr; }
  [[nodiscard]] int socket() const { return socket_.get(); }

  void serve() {
    if (requirement_ && !verifier_.satisfies(socket_.get(), *requirement_)) return;
    while (auto request = receive()) {
      current_ = interface_.match(*request);
      if (current_ == nullptr) return;
      isReplied_ = false;
      object_->invoke(*request, ReplySender(*this));
      // The sender is gone by now; only an object that kept it breaks this.
      if (!isReplied_) deliver(protocol::Reply::ofText(ReplySender::unansweredText));
      if (isPeerGone_) return;
    }
  }

 private:
  // The next well-formed request, or nothing once the stream ends or holds
  // anything malformed; the lengths are checked before anything is allocated.
  std::optional<protocol::Request> receive() {
    std::array<char, protocol::frameHeaderSize> header{};
    auto count = readFully(socket_.get(), header);
    if (!count || *count != header.size()) return std::nullopt;
    auto length =
        protocol::decodeFrameLength({header.data(), header.size()}, protocol::maxRequestFrameSize);
    if (!length) return std::nullopt;
    std::string payload(*length, '\0');
    count = readFully(socket_.get(), payload);
    if (!count || *count != payload.size()) return std::nullopt;
    auto request = protocol::decodeRequest(payload);
    if (!request) return std::nullopt;
    return std::move(*request);
  }

  void deliver(protocol::Reply reply) override {
    if (isReplied_) return;
    isReplied_ = true;
    if (!current_->admits(reply)) reply = protocol::Reply::ofText(ReplySender::mismatchedReplyText);
    auto frame = protocol::encodeReply(reply);
    if (!frame) {
      const std::string_view text = frame.error() == protocol::EncodeError::oversized
                                        ? oversizedReplyText
                                        : unencodableReplyText;
      reply = protocol::Reply::ofText(text);
      frame = protocol::encodeReply(reply);
    }
    // The reply is this call's own, so its bytes can be given back as they go.
    const std::span<char> body = reply.bytes ? std::span<char>(*reply.bytes) : std::span<char>();
    const std::array<std::string_view, 1> head{frame->head};
    const auto sendBody = [&](const char* data, std::size_t size) {
      return ::send(socket_.get(), data, size, MSG_NOSIGNAL);
    };
    // A peer that left mid-request only loses its reply.
    if (!sendAll(socket_.get(), head) || !sendReleasing(body, sendBody)) isPeerGone_ = true;
  }

  const UniqueFd socket_;
  const PeerVerifier& verifier_;
  std::optional<std::string> requirement_;
  ExportedInterface interface_;
  ExportedObject* object_ = nullptr;
  bool isResumed_ = false;

  const ExportedMethod* current_ = nullptr;
  bool isReplied_ = false;
  bool isPeerGone_ = false;
};

std::expected<std::unique_ptr<UnixListener>, OsError> UnixListener::open(
    const PeerVerifier& verifier, Options options) {
  auto socket = openListeningSocket(options.socketPath);
  if (!socket) return std::unexpected(socket.error());
  return std::unique_ptr<UnixListener>(
      new UnixListener(verifier, std::move(options), std::move(*socket)));
}

std::expected<std::unique_ptr<UnixListener>, OsError> UnixListener::open(
    const PeerVerifier& verifier) {
  return open(verifier, Options{});
}

UnixListener::UnixListener(const PeerVerifier& verifier, Options options, UniqueFd socket)
    : verifier_(verifier), options_(std::move(options)), socket_(std::move(socket)) {}

UnixListener::~UnixListener() {
  {
    std::lock_guard lock(mutex_);
    isStopping_ = true;
  }
  changed_.notify_all();
  // On Linux, shutting down a listening socket makes a blocked accept return.
  shutdownSocket(socket_.get());
  if (acceptThread_.joinable()) acceptThread_.join();
  std::unique_lock lock(mutex_);
  for (int socket : liveSockets_) shutdownSocket(socket);
  changed_.wait(lock, [this] { return liveCount_ == 0; });
}

void UnixListener::setDelegate(ListenerDelegate& delegate) { delegate_ = &delegate; }

void UnixListener::resume() {
  if (acceptThread_.joinable()) return;
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

std::size_t UnixListener::liveConnectionCount() const {
  std::lock_guard lock(mutex_);
  return liveCount_;
}

void UnixListener::acceptLoop() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock,
                    [this] { return isStopping_ || liveCount_ < options_.maxLiveConnections; });
      if (isStopping_) return;
    }
    auto socket = acceptConnection(socket_.get());
    if (!socket) {
      if (isStopping()) return;
      // Out of descriptors or memory: back off rather than spin.
      if (socket.error().code != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    auto connection = std::make_unique<UnixConnection>(std::move(*socket), verifier_);
    if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(*connection)) continue;
    if (!connection->isReadyToServe()) continue;
    start(std::move(connection));
  }
}

bool UnixListener::isStopping() const {
  std::lock_guard lock(mutex_);
  return isStopping_;
}

void UnixListener::start(std::unique_ptr<UnixConnection> connection) {
  {
    std::lock_guard lock(mutex_);
    ++liveCount_;
    liveSockets_.insert(connection->socket());
  }
  UnixConnection* served = connection.release();
  try {
    std::thread([this, served] {
      served->serve();
#ifndef KELMARIND_MALLOC_IS_REPLACED
      // glibc keeps what other threads freed in their arenas; without this a
      // helper that once served many large walks at once would hold that
      // peak for the rest of its life.
      ::malloc_trim(0);
#endif
      finish(std::unique_ptr<UnixConnection>(served));
    }).detach();
  } catch (const std::system_error&) {
    finish(std::unique_ptr<UnixConnection>(served));
  }
}

void UnixListener::finish(std::unique_ptr<UnixConnection> connection) {
  std::lock_guard lock(mutex_);
  liveSockets_.erase(connection->socket());
  // Closed under the lock, so the destructor never shuts down a descriptor
  // number that has been reused meanwhile.
  connection.reset();
  --liveCount_;
  // Notified under the lock: the destructor may free the condition variable
  // as soon as it sees the count reach zero.
  changed_.notify_all();
}

}  // namespace kelmarind::platform::linux
