// A program that connects to a Unix socket and stays connected until the other
// side closes, so the other side can examine who connected. Built with various
// embedded identities. With "exit" as its second argument it leaves at once.
//   identity_peer <socket path> [exit]

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || std::strlen(argv[1]) >= sizeof address.sun_path) return 1;
  std::strcpy(address.sun_path, argv[1]);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 1;
  if (argc > 2 && std::string_view(argv[2]) == "exit") return 0;
  char byte = 0;
  while (::read(fd, &byte, 1) > 0) {
  }
  return 0;
}
