// The client library: what an application links to ask the helper for a walk
// or a ping over its endpoint. One ScanClient is one connection, and each
// request blocks until the helper's whole answer has arrived. The document a
// walk returns is read with ScanTree::read (client/scan_tree.h).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "client/received_document.h"
#include "platform/unique_fd.h"
#include "protocol/wire_protocol.h"

namespace kelmarind::client {

// A failure of the transport, distinct from anything the helper answers.
struct ClientError {
  enum class Kind {
    // The socket could not be connected: no such path, nothing listening, or
    // the socket's owner, group and mode do not let this user connect.
    unreachable,
    // The connection failed or closed before the whole reply came. Also what
    // a program that is not the client application sees on its first request:
    // the helper closes such a connection unread. And a request that cannot
    // be sent (a path that is not UTF-8, or longer than a request may be).
    broken,
    // The helper's reply frame did not decode, or had not the shape of the
    // request's answer, or came with descriptors it did not announce, or
    // announced a document in a memory file and passed none, or one that
    // is not sealed against change, or not of the announced length; or a
    // part of a document was not a whole number of pages, or the parts came
    // to more than a reply may hold.
    malformedReply,
  };
  Kind kind = Kind::broken;
  std::string message;  // names the socket path and the cause
};

// The helper's answer to a walk: the JSON document (docs/protocol.md names its
// members), or the helper's text saying why there is none, meant to be shown
// to the person as it is (escaped, as every name: display_text.h):
// "Kelmarind's helper does not read this location." for a refused path,
// "Not readable even as root: PATH" for one that cannot be walked.
using WalkAnswer = std::expected<ReceivedDocument, std::string>;

// A reply as it came, the document undigested.
struct ScanReply {
  std::optional<ReceivedDocument> bytes;
  std::optional<std::string> text;
};

// Move-only; not thread-safe: one thread at a time uses a client, though
// separate clients may be used on separate threads at once. Requests block
// with no time limit (a walk of a large tree takes seconds; the helper answers
// every request exactly once), so an application with a user interface makes
// them off its interface thread. Destroying the client closes the connection;
// a walk in progress then runs to its end in the helper and its reply is
// dropped. Never raises SIGPIPE.
//
// The helper serves only processes whose executable carries the client
// application's embedded identity (CMake: kelmarind_embed_plist with the
// client's property list); any other program is disconnected unread, which
// shows as `broken` on its first request, not at connect.
//
// After a ClientError the connection is spent: every later request fails
// with `broken`, and a new connection is needed. The helper closes a
// connection that sends no request for 30 seconds; connect anew after a
// pause.
class ScanClient final {
 public:
  // Connects to the helper's socket; sends nothing. The default is where the
  // service manager's socket unit puts it. Fails only with `unreachable`.
  [[nodiscard]] static std::expected<ScanClient, ClientError> connect(
      std::string socketPath = std::string(protocol::defaultSocketPath));

  ScanClient(ScanClient&&) noexcept = default;
  ScanClient& operator=(ScanClient&&) noexcept = default;

  // Asks for the tree at `path`, UTF-8 text naming an absolute path: the
  // helper refuses a relative one (kelmarind-scan joins it to its working
  // directory first). Blocks until the whole document or the helper's text
  // has arrived; the document can be as large as the tree's paths make it
  // (82 MB for a million entries). A large one arrives as sealed memory
  // files, mapped one after another, not copied. With a `sink`, a large
  // document's leading parts go to it as they arrive, while the helper is
  // still writing the rest, and the answer holds only what follows them:
  // how `kelmarind-scan --json` writes the document out without waiting for
  // its end. A nil `path` sends nil, which the helper takes as the empty
  // path, and refuses.
  [[nodiscard]] std::expected<WalkAnswer, ClientError> walkSubtreeAtPath(
      std::optional<std::string_view> path, DocumentPartSink sink = {});

  // The helper's "ok": whether it answers, and serves this program.
  [[nodiscard]] std::expected<std::string, ClientError> pingWithReply();

  // Sends any request and returns its reply undigested, parts joined or
  // given to `sink` as for a walk; for tests and tools.
  [[nodiscard]] std::expected<ScanReply, ClientError> call(const protocol::Request& request,
                                                           DocumentPartSink sink = {});
  // The same for a request framed by the caller and sent as it is, even one
  // the encoder refuses (a text that is not UTF-8, a frame over the limit):
  // how tools see what the helper answers to such frames.
  [[nodiscard]] std::expected<ScanReply, ClientError> callFramed(std::string_view frame,
                                                                 DocumentPartSink sink = {});

 private:
  ScanClient(std::string socketPath, platform::UniqueFd socket);
  // One frame of the reply: the reply, or none yet when it was a leading
  // part, which went to `assembly`.
  std::expected<std::optional<ScanReply>, ClientError> receiveReplyFrame(
      DocumentAssembly& assembly);
  ClientError fail(ClientError::Kind kind, std::string_view cause);

  std::string socketPath_;
  platform::UniqueFd socket_;
};

}  // namespace kelmarind::client
