// KelmarindHelper: the privileged helper's entry point. It reads no argument,
// no environment variable and no file (the socket the service manager hands
// over aside): everything it needs is built in or read from the system.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/journal_logger.h"
#include "platform/linux/linux_code_signature.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_peer_verifier.h"
#include "platform/linux/service_process.h"
#include "platform/linux/system_user_database.h"
#include "platform/linux/unix_listener.h"
#include "platform/run_loop.h"
#include "protocol/wire_protocol.h"
#include "service/privileged_scan_listener.h"

namespace {

using namespace kelmarind;

constexpr std::string_view startLine = "Kelmarind helper listening on %{public}s";

}  // namespace

int main() {
  platform::linux::prepareServiceProcess();

  // The process-wide values live for the whole process and are never torn
  // down; statics keep them out of any destructor ordering at exit.
  static platform::linux::JournalLogger logger(std::string(protocol::endpointName), "xpc");

  static platform::linux::SystemUserDatabase users;
  static const platform::linux::LinuxCodeSignature signature;
  static const platform::linux::LinuxFileSystem fileSystem;
  static service::PrivilegedScanListener listenerObject(logger, users, signature, fileSystem);

  static const platform::linux::LinuxPeerVerifier verifier;
  auto listener = platform::linux::UnixListener::open(verifier);
  if (!listener) {
    // Without its endpoint the helper can serve nobody; the service manager
    // records this and may start it again. The exit status says as much
    // should this line be lost.
    const std::string path(protocol::defaultSocketPath);
    (void)std::fprintf(stderr, "KelmarindHelper: cannot open %s: %s\n", path.c_str(),
                       listener.error().message().c_str());
    return EXIT_FAILURE;
  }
  (*listener)->setDelegate(listenerObject);
  (*listener)->resume();
  logger.write(platform::LogLevel::notice, startLine, {protocol::endpointName});

  platform::runMainLoop();
}
