// Connects to the Unix socket named by its first argument and stays until the
// other side closes, so that side can examine who connected. Built with
// various embedded identities. A second argument "exit" makes it leave at once.
//
// "PEER SOCKET hand-to PROGRAM" pings through the socket, then forks a child
// that runs PROGRAM with the connection inherited ("PROGRAM --ping-fd N"),
// which pings through it in turn: a process that never connected using a
// connection that was accepted. Each ping prints "ok" or "closed".
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A pingWithReply: request frame, as the protocol lays it out.
constexpr char pingFrame[] = "\x12\x00\x00\x00\x01\x0epingWithReply:\x00\x00";

bool readAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::read(fd, data, size);
    if (count <= 0) return false;
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

void ping(int fd) {
  char header[4] = {};
  char payload[64] = {};
  const bool isServed = ::write(fd, pingFrame, sizeof pingFrame - 1) == sizeof pingFrame - 1 &&
                        readAll(fd, header, sizeof header) && header[0] < 64 &&
                        readAll(fd, payload, static_cast<std::size_t>(header[0]));
  if (std::puts(isServed ? "ok" : "closed") < 0 || std::fflush(stdout) != 0) ::_exit(3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--ping-fd") == 0) {
    ping(std::stoi(argv[2]));
    return 0;
  }
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  if (argc < 2 || std::strlen(argv[1]) >= sizeof address.sun_path) return 2;
  std::strcpy(address.sun_path, argv[1]);
  const bool isHandingOver = argc == 4 && std::strcmp(argv[2], "hand-to") == 0;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | (isHandingOver ? 0 : SOCK_CLOEXEC), 0);
  // As the client library does, so every byte carries its writer.
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 1;
  if (isHandingOver) {
    ping(fd);
    const pid_t child = ::fork();
    if (child == 0) {
      const std::string number = std::to_string(fd);
      ::execl(argv[3], argv[3], "--ping-fd", number.c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
  }
  char byte = 0;
  while (argc == 2 && ::read(fd, &byte, 1) > 0) {
  }
  return 0;
}
