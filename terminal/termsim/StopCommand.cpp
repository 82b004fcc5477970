// termsim stop: ends every process of the terminal, as pulling its battery would,
// but journals nothing.
#include "platform/host/Programs.h"
#include "terminal/termsim/Commands.h"

namespace termsim {

namespace {

int Stop(const Arguments& arguments) {
  AttachOrFail(arguments.Positional(0));
  // termsim is never one of the terminal's processes; sparing the caller is for form.
  host::EndTerminalProcesses(true);
  return kExitOk;
}

}  // namespace

CommandSpec StopCommand() {
  return {
      .name = "stop",
      .positionals = "IMAGE",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary = "Ends every process of the terminal (no reset event).",
      .options = {},
      .run = Stop,
  };
}

}  // namespace termsim
