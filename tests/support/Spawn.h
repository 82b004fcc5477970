// Starting a host program from a test: the one place that builds an argument vector,
// an environment and the program's descriptors.
#ifndef KORVA_TESTS_SUPPORT_SPAWN_H
#define KORVA_TESTS_SUPPORT_SPAWN_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace support {

// A descriptor of the started program: one of this process's duplicated, or a file
// opened for it (write-only and truncated; read-only for standard input).
struct ChildFd {
  int fd;
  int from = -1;
  std::string path;
};

// Starts `program` with `args`, with this process's environment where `environment`
// ("NAME=value") neither replaces nor adds an entry. Standard input is /dev/null unless
// `fds` gives it. Throws std::runtime_error when the program cannot be started.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& environment = {}, const std::vector<ChildFd>& fds = {});

}  // namespace support

#endif  // KORVA_TESTS_SUPPORT_SPAWN_H
