// Connects to the Unix socket named by its first argument and stays until the
// other side closes, so that side can examine who connected. Built with
// various embedded identities. A second argument "exit" makes it leave at once.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  if (argc < 2 || std::strlen(argv[1]) >= sizeof address.sun_path) return 2;
  std::strcpy(address.sun_path, argv[1]);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 1;
  char byte = 0;
  while (argc == 2 && ::read(fd, &byte, 1) > 0) {
  }
  return 0;
}
