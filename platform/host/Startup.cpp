// Start-up code of a CE program built for the host: attach to the terminal named by
// the environment, call WinMain with the whole command line, exit with its result.
#include "platform/host/HostInternal.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* root = std::getenv("TERMSIM_ROOT");
  if (!root || !*root) {
    std::fprintf(stderr,
                 "%s is a program of the emulated KORVA terminal; start it with: termsim run IMAGE CEPATH [CMDLINE]\n",
                 argc > 0 ? argv[0] : "this program");
    return 125;
  }
  try {
    host::AttachImage(root);
  } catch (const host::HostError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 125;
  }
  const char* generation = std::getenv("TERMSIM_GENERATION");
  bool registered = false;
  try {
    registered = host::RegisterSelf(generation ? std::atoll(generation) : 0);
  } catch (const host::HostError& e) {
    // The image cannot take the process (a damaged setting, a database failure).
    std::fprintf(stderr, "%s\n", e.what());
  }
  if (!registered) ::_exit(137);  // the terminal was reset while this process was starting
  std::u16string commandLine = argc > 1 ? host::FromUtf8(argv[1]) : std::u16string();
  const int result = WinMain(nullptr, nullptr, commandLine.data(), 1);
  ExitProcess(static_cast<UINT>(result));
}
