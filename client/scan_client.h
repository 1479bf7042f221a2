// The client side of the helper's endpoint: one connection, one blocking
// request at a time.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "platform/wire_protocol.h"

namespace kelmarind::client {

// A failure of the transport, distinct from anything the helper answers.
struct ClientError {
  enum class Kind {
    unreachable,     // the socket could not be connected (no helper, refused, no such path)
    broken,          // the connection failed or closed before the whole reply came
    malformedReply,  // the helper's reply frame did not decode
  };
  Kind kind = Kind::broken;
  std::string message;  // names the socket path and the cause
};

// The helper's answer to a walk: the JSON document, or the helper's error text.
using WalkAnswer = std::expected<std::string, std::string>;

// Move-only; not thread-safe. After a ClientError the connection is spent:
// every later request fails with `broken`.
class ScanClient final {
 public:
  [[nodiscard]] static std::expected<ScanClient, ClientError> connect(
      std::string socketPath = std::string(platform::wire::defaultSocketPath));

  ScanClient(ScanClient&&) noexcept = default;
  ScanClient& operator=(ScanClient&&) noexcept = default;

  // Blocks until the whole document or the helper's text has arrived. A nil
  // `path` sends nil, which the helper takes as the empty path.
  [[nodiscard]] std::expected<WalkAnswer, ClientError> walkSubtreeAtPath(
      std::optional<std::string_view> path);
  [[nodiscard]] std::expected<std::string, ClientError> pingWithReply();

  // Sends any request and returns its reply undigested; for tests and tools.
  [[nodiscard]] std::expected<platform::wire::Reply, ClientError> call(
      const platform::wire::Request& request);

 private:
  ScanClient(std::string socketPath, platform::UniqueFd socket);
  ClientError fail(ClientError::Kind kind, std::string_view cause);

  std::string socketPath_;
  platform::UniqueFd socket_;
};

}  // namespace kelmarind::client
