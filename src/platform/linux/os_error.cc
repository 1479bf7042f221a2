#include "platform/os_error.h"

#include <cerrno>
#include <cstring>

namespace kelmarind::platform {

std::string OsError::message() const {
  std::string out(operation);
  out += ": ";
  // strerrordesc_np is async-signal- and thread-safe, unlike strerror.
  const char* description = ::strerrordesc_np(code);
  out += description != nullptr ? description : "Unknown error";
  return out;
}

}  // namespace kelmarind::platform

namespace kelmarind::platform {

bool OsError::isShortage() const { return code == EMFILE || code == ENFILE || code == ENOMEM; }

}  // namespace kelmarind::platform
