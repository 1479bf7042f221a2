// A PeerVerifier with a fixed answer that records every requirement asked.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/peer_verifier.h"

namespace kelmarind::platform::fake {

class FakePeerVerifier final : public linux::PeerVerifier {
 public:
  explicit FakePeerVerifier(bool isSatisfied) : isSatisfied_(isSatisfied) {}

  void setSatisfied(bool isSatisfied) { isSatisfied_ = isSatisfied; }

  // Thread-safe, like the real one. The peer is the one the kernel
  // recorded, when the fixed answer is yes.
  [[nodiscard]] std::optional<linux::PinnedProcess> satisfyingPeer(
      int connectedSocket, std::string_view requirement) const override;
  [[nodiscard]] bool senderSatisfies(int pid, int pidfd,
                                     std::string_view requirement) const override;
  [[nodiscard]] std::vector<std::string> askedRequirements() const;

 private:
  bool answer(std::string_view requirement) const;

  std::atomic<bool> isSatisfied_;
  mutable std::mutex mutex_;
  mutable std::vector<std::string> asked_;
};

}  // namespace kelmarind::platform::fake
