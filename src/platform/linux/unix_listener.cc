#include "platform/linux/unix_listener.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "platform/connection.h"
#include "platform/linux/listening_socket.h"
#include "platform/linux/peer_identity.h"
#include "platform/linux/read_ahead.h"
#include "platform/linux/released_send.h"
#include "platform/linux/sealed_memory_file.h"
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

namespace {

// How many connections the helper's descriptor limit lets it serve at once,
// at most `wanted`. Past that bound the connections it has accepted would
// contend for descriptors: those still to be checked would wait for an
// identity they could not read, walks would give up for a shortage, and
// some clients would be turned away while others' walks went on. Waiting in
// the backlog instead, each connection is taken in turn.
std::size_t liveLimitWithinDescriptors(std::size_t wanted) {
  // Whatever is served: standard streams, the listening socket, the
  // journal's, and room to accept and check one more peer.
  constexpr std::size_t fixedDescriptors = 8;
  // What one connection needs to make progress: its socket, the pidfd that
  // pins its client, the few directories a walk must hold to go on, and a
  // reply's memory file with one part sent ahead.
  constexpr std::size_t descriptorsPerConnection = 8;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const std::size_t reserved = fixedDescriptors + readAheadDescriptorLimit();
  const std::size_t usable = limit.rlim_cur > reserved ? limit.rlim_cur - reserved : 0;
  return std::min(wanted, std::max<std::size_t>(usable / descriptorsPerConnection, 1));
}

}  // namespace

inline constexpr std::string_view oversizedReplyText = "The helper's reply is too large to send.";
inline constexpr std::string_view unencodableReplyText = "The helper's reply could not be encoded.";
inline constexpr std::string_view unwrittenReplyText = "The helper's reply could not be written.";

// Reply bytes that go into a memory file once they outgrow a frame: until
// then they are kept in memory, so a small reply costs no file. A file that
// reaches a part's size, with more to come, is sealed and sent on at once as
// a leading part, and the next bytes go into a new one: the client copies
// each part out while the rest is being encoded. When no memory file can be
// made (the helper short of descriptors or memory for the moment) the bytes
// from then on stay in memory and go inline: slower, but the client gets its
// document.
//
// A sent part's descriptor stays here until the reply ends. Its pages are
// freed wherever its last descriptor closes: kept, that is the helper once
// the reply has gone, not the client while it takes the parts that follow.
// The oldest go once more than `heldPartLimit` are held, so a reply holds
// few descriptors whatever its size.
class OutgoingBytes final : public ReplyBytes {
 public:
  // Seals and sends a full part; fails when the part cannot go.
  using PartSender = std::function<std::expected<void, OsError>(int file, std::size_t size)>;

  explicit OutgoingBytes(PartSender sendPart) : sendPart_(std::move(sendPart)) {}

  std::expected<void, OsError> write(std::string_view chunk) override {
    if (!file_ && !isInMemoryOnly_ &&
        inMemory_.size() + chunk.size() > protocol::maxInlineReplyBytes && startFile()) {
      if (auto written = writeAll(file_.get(), inMemory_); !written) return written;
      size_ = inMemory_.size();
      inMemory_ = std::string();
    }
    while (file_ && !chunk.empty()) {
      if (size_ == protocol::replyPartSize) {
        if (auto sent = sendPart_(file_.get(), size_); !sent) return sent;
        hasSentParts_ = true;
        sentParts_.push_back(std::move(file_));
        if (sentParts_.size() > heldPartLimit) sentParts_.pop_front();
        if (!startFile()) break;
      }
      const std::string_view piece = chunk.substr(0, protocol::replyPartSize - size_);
      if (auto written = writeAll(file_.get(), piece); !written) return written;
      size_ += piece.size();
      chunk.remove_prefix(piece.size());
    }
    inMemory_ += chunk;
    return {};
  }

  [[nodiscard]] const UniqueFd& file() const { return file_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool hasSentParts() const { return hasSentParts_; }
  [[nodiscard]] std::string takeInMemory() && { return std::move(inMemory_); }

 private:
  // What follows goes into a new memory file, or, when none can be made,
  // stays in memory from then on.
  bool startFile() {
    file_.reset();
    size_ = 0;
    auto file = memoryFile();
    if (!file) {
      isInMemoryOnly_ = true;
      return false;
    }
    file_ = std::move(*file);
    return true;
  }

  static constexpr std::size_t heldPartLimit = 16;

  PartSender sendPart_;
  UniqueFd file_;
  std::size_t size_ = 0;  // written to the file
  std::string inMemory_;
  bool isInMemoryOnly_ = false;
  bool hasSentParts_ = false;
  std::deque<UniqueFd> sentParts_;
};

// One accepted socket: configured by the delegate on the accept thread, then
// served on a thread of its own. Its own ReplyChannel, so replies go straight
// back on the socket of the message they answer.
class UnixConnection final : public Connection, private ReplyChannel {
 public:
  UnixConnection(UniqueFd socket, uid_t user, const PeerVerifier& verifier,
                 const UnixListener::Options& options)
      : socket_(std::move(socket)), user_(user), verifier_(verifier), options_(options) {}

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
  [[nodiscard]] uid_t user() const { return user_; }

  void serve() {
    if (!limitSendStall(socket_.get(), options_.stallLimit)) return;
    if (requirement_) {
      auto peer = verifier_.satisfyingPeer(socket_.get(), *requirement_);
      if (!peer) return;
      trusted_ = std::move(*peer);
    }
    while (auto request = receive()) {
      const ExportedMethod* method = interface_.match(*request);
      if (method == nullptr) return;
      replyOnce(*object_, *method, *request, *this);
      if (isPeerGone_) return;
    }
  }

 private:
  // The next well-formed request from a process that satisfies the
  // requirement, or nothing once the stream ends, stays idle too long or
  // holds anything else; the lengths are checked before anything is allocated.
  std::optional<protocol::Request> receive() {
    const auto deadline = std::chrono::steady_clock::now() + options_.idleLimit;
    std::array<char, protocol::frameHeaderSize> header{};
    auto head = receiveFully(socket_.get(), header, deadline);
    if (!head || head->size != header.size() || !isTrusted(*head)) return std::nullopt;
    auto length =
        protocol::decodeFrameLength({header.data(), header.size()}, protocol::maxRequestFrameSize);
    if (!length) return std::nullopt;
    std::string payload(*length, '\0');
    auto body = receiveFully(socket_.get(), payload, deadline);
    if (!body || body->size != payload.size()) return std::nullopt;
    // A frame is one process's: the payload's writer must be the header's.
    const auto& bodySender = body->sender;
    const auto& headSender = head->sender;
    const bool isOtherWriter = bodySender && headSender && bodySender->pid != headSender->pid;
    if (isOtherWriter || body->isFromSeveralSenders || !body->descriptors.empty() ||
        body->isTruncated) {
      return std::nullopt;
    }
    auto request = protocol::decodeRequest(payload);
    if (!request) return std::nullopt;
    return std::move(*request);
  }

  // The accepted process may hand its descriptor on (fork, exec, passing it
  // over a socket); the check at connect vouches only for itself. A message
  // another process wrote is judged afresh, and closes the connection
  // unless that process satisfies the requirement too. Descriptors a client
  // sends the helper are closed unread.
  bool isTrusted(Received& received) {
    if (!received.descriptors.empty() || received.isTruncated) return false;
    if (!requirement_) return true;
    if (!received.sender || received.isFromSeveralSenders) return false;
    MessageSender& sender = *received.sender;
    if (sender.pid == trusted_.pid && isRunning(trusted_)) return true;
    if (!verifier_.senderSatisfies(sender.pid, sender.pidfd.get(), *requirement_)) return false;
    if (!sender.pidfd) {
      auto pinned = pinProcess(sender.pid);
      if (!pinned) return false;
      sender.pidfd = std::move(*pinned);
    }
    trusted_ = PinnedProcess{sender.pid, std::move(sender.pidfd)};
    return true;
  }

  std::unique_ptr<ReplyBytes> makeBytes() override {
    return std::make_unique<OutgoingBytes>(
        [this](int file, std::size_t size) { return sendSealedPart(file, size); });
  }

  void deliver(protocol::Reply reply) override {
    if (reply.bytes && reply.bytes->size() > protocol::maxInlineReplyBytes) {
      auto bytes = makeBytes();
      auto& outgoing = static_cast<OutgoingBytes&>(*bytes);
      if (outgoing.write(*reply.bytes)) return deliverWritten(std::move(bytes), reply.text);
      // Parts already sent cannot be taken back; the client drops them
      // when the reply ends in a text alone.
      if (outgoing.hasSentParts()) reply = protocol::Reply::ofText(unwrittenReplyText);
    }
    deliverInline(std::move(reply));
  }

  void deliverWritten(std::unique_ptr<ReplyBytes> bytes, std::optional<std::string> text) override {
    auto* outgoing = dynamic_cast<OutgoingBytes*>(bytes.get());
    if (outgoing == nullptr) return ReplyChannel::deliverWritten(std::move(bytes), std::move(text));
    if (!outgoing->file()) {
      return deliverInline(protocol::Reply{std::move(*outgoing).takeInMemory(), std::move(text)});
    }
    if (!sendSealed(*outgoing, text)) isPeerGone_ = true;
  }

  void deliverInline(protocol::Reply reply) {
    auto frame = protocol::encodeReply(reply);
    if (!frame) {
      reply = protocol::Reply::ofText(textFor(frame.error()));
      frame = protocol::encodeReply(reply);
    }
    if (!sendInline(*frame, reply)) isPeerGone_ = true;
  }

  static std::string_view textFor(protocol::EncodeError error) {
    return error == protocol::EncodeError::oversized ? oversizedReplyText : unencodableReplyText;
  }

  // The reply is this call's own, so its bytes can be given back as they go.
  bool sendInline(const protocol::ReplyFrame& frame, protocol::Reply& reply) {
    const std::span<char> body = reply.bytes ? std::span<char>(*reply.bytes) : std::span<char>();
    const std::array<std::string_view, 1> head{frame.head};
    const auto sendBody = [&](const char* data, std::size_t size) {
      return ::send(socket_.get(), data, size, MSG_NOSIGNAL);
    };
    return sendAll(socket_.get(), head) && sendReleasing(body, "send", sendBody);
  }

  // A leading part, from whichever thread writes the reply's bytes; the
  // connection's thread sends nothing meanwhile. Sealed first, so the
  // client's copy cannot change through the descriptor the helper keeps.
  std::expected<void, OsError> sendSealedPart(int file, std::size_t size) {
    if (auto sealed = seal(file); !sealed) return sealed;
    const std::string frame = *protocol::encodeSealedPart(size);
    const std::array<std::string_view, 1> pieces{frame};
    return sendAll(socket_.get(), pieces, file);
  }

  // The helper's descriptors of the reply close with `bytes`, once this,
  // its last frame, has gone: nothing of the reply stays with the helper.
  bool sendSealed(const OutgoingBytes& bytes, const std::optional<std::string>& text) {
    auto head = protocol::encodeSealedReply(bytes.size(), text);
    if (!head || !seal(bytes.file().get())) {
      const std::string_view failure = head ? unencodableReplyText : textFor(head.error());
      auto textFrame = protocol::encodeReply(protocol::Reply::ofText(failure));
      const std::array<std::string_view, 1> pieces{textFrame->head};
      return sendAll(socket_.get(), pieces).has_value();
    }
    const std::array<std::string_view, 1> pieces{*head};
    return sendAll(socket_.get(), pieces, bytes.file().get()).has_value();
  }

  const UniqueFd socket_;
  const uid_t user_;
  const PeerVerifier& verifier_;
  const UnixListener::Options& options_;
  std::optional<std::string> requirement_;
  ExportedInterface interface_;
  ExportedObject* object_ = nullptr;
  bool isResumed_ = false;
  PinnedProcess trusted_;

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
    : verifier_(verifier),
      options_(std::move(options)),
      liveLimit_(liveLimitWithinDescriptors(options_.maxLiveConnections)),
      socket_(std::move(socket)) {}

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
      changed_.wait(lock, [this] { return isStopping_ || liveCount_ < liveLimit_; });
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
    const auto user = peerUser(socket->get());
    // Over its bound a user's connection is closed at once rather than left
    // in the backlog, where it would hold up everyone else's.
    if (!user || !admitsUser(*user)) continue;
    auto connection =
        std::make_unique<UnixConnection>(std::move(*socket), *user, verifier_, options_);
    if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(*connection)) continue;
    if (!connection->isReadyToServe()) continue;
    start(std::move(connection));
  }
}

bool UnixListener::admitsUser(uid_t user) const {
  // Root may do anything the helper can; only the global bound applies.
  if (user == 0) return true;
  std::lock_guard lock(mutex_);
  const auto found = liveCountByUser_.find(user);
  return found == liveCountByUser_.end() || found->second < options_.maxConnectionsPerUser;
}

bool UnixListener::isStopping() const {
  std::lock_guard lock(mutex_);
  return isStopping_;
}

void UnixListener::start(std::unique_ptr<UnixConnection> connection) {
  {
    std::lock_guard lock(mutex_);
    ++liveCount_;
    ++liveCountByUser_[connection->user()];
    liveSockets_.insert(connection->socket());
  }
  UnixConnection* served = connection.release();
  try {
    std::thread([this, served] {
      served->serve();
#ifndef KELMARIND_MALLOC_IS_REPLACED
      // glibc keeps what other threads freed in their arenas; without this a
      // helper that once served many large walks at once would hold that
      // peak for the rest of its life. Whether any was returned is no matter.
      (void)::malloc_trim(0);
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
  if (--liveCountByUser_[connection->user()] == 0) liveCountByUser_.erase(connection->user());
  // Closed under the lock, so the destructor never shuts down a descriptor
  // number that has been reused meanwhile.
  connection.reset();
  --liveCount_;
  // Notified under the lock: the destructor may free the condition variable
  // as soon as it sees the count reach zero.
  changed_.notify_all();
}

}  // namespace kelmarind::platform::linux
