// Scratch directories for tests that build real file trees.
#pragma once

#include <string>
#include <string_view>

namespace kelmarind::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away. Move-only.
class TempDir final {
 public:
  TempDir();
  // The same under `base`.
  explicit TempDir(std::string_view base);
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&&) = delete;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  [[nodiscard]] const std::string& path() const { return path_; }
  // path() + "/" + relative
  [[nodiscard]] std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

// Removes `path` and everything below it, making unreadable or unwritable
// directories accessible first. Never follows symbolic links.
void removeTree(const std::string& path);

}  // namespace kelmarind::testing
