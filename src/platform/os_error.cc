#include "platform/os_error.h"

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
