#include "tests/support/Spawn.h"

#include <fcntl.h>
#include <spawn.h>

#include <algorithm>
#include <stdexcept>

extern char** environ;

namespace support {

namespace {

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('=') + 1);
    const bool replaced =
        std::any_of(extra.begin(), extra.end(), [&](const std::string& added) { return added.rfind(key, 0) == 0; });
    if (!replaced) result.push_back(text);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& environment,
            const std::vector<ChildFd>& fds) {
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<std::string> envText = Environment(environment);
  const std::vector<char*> argv = Pointers(argvText), envp = Pointers(envText);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const bool inputGiven = std::any_of(fds.begin(), fds.end(), [](const ChildFd& c) { return c.fd == 0; });
  if (!inputGiven) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  for (const ChildFd& child : fds) {
    if (child.from >= 0) {
      posix_spawn_file_actions_adddup2(&actions, child.from, child.fd);
    } else {
      const int flags = child.fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
      posix_spawn_file_actions_addopen(&actions, child.fd, child.path.c_str(), flags, 0600);
    }
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
  return pid;
}

}  // namespace support
