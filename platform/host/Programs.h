// The programs of the terminal: starting one as CreateProcessW does, the image's
// process table, ending every process (a reset or `termsim stop`), and what a starter
// waits for (a window). Failures throw HostError.
#ifndef KORVA_PLATFORM_HOST_PROGRAMS_H
#define KORVA_PLATFORM_HOST_PROGRAMS_H

#include "platform/coredll.h"
#include "platform/host/UniqueFd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// A program started on the terminal, known by pid and start time so that a reused pid
// is never taken for it.
struct StartedProcess {
  int pid = 0;
  int64_t startTime = 0;
};

// How StartProgram starts a program; the defaults are CreateProcessW's.
struct StartOptions {
  // Own session, standard streams on /dev/null: a program that outlives its starter.
  bool detached = false;
  // False: no process-start event, for the programs termsim's own commands start.
  bool journalStart = true;
  // Above 0: the program joins that process group (termsim run's), else the starter's.
  int processGroup = 0;
};

// Starts the CE program at `cePath` (resolved inside fs/; run whatever its mode bits:
// a program on the host library, or a script) with `commandLine` as its whole command
// line, registers it in the process table and journals process-start. Its module name
// is the canonical path (CanonicalCePath). Throws HostError on failure, its code the
// one CreateProcessW sets (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_BAD_EXE_FORMAT...).
StartedProcess StartProgram(std::u16string_view cePath, std::u16string_view commandLine,
                            const StartOptions& options = {});
// For the starter that reaped `process` with `waitStatus`: records the exit code and
// journals process-exit when the program did not do so itself (a script), unless
// the terminal was reset or stopped meanwhile. Returns the exit code; never throws.
DWORD RecordChildExit(const StartedProcess& process, int waitStatus);

// True once `process` owns a window; for a starter that waits for one (no fault rule
// applies, nothing is journalled).
bool HasWindow(const StartedProcess& process);

// Ends every process of the terminal except the caller (and then, unless
// `spareCaller`, the caller too). Advances the generation first.
void EndTerminalProcesses(bool spareCaller);

// One row of the image's process table: a program that the terminal started, or that
// started on it, in this generation or an earlier one.
struct ProcessRecord {
  int64_t pid = 0;
  std::u16string image;          // its CE path
  bool registered = false;       // it registered itself: it runs the host library
  std::optional<DWORD> exitCode;  // none while it runs
};
std::vector<ProcessRecord> ProcessRecords();  // in the order they were added

// Identity of a live process: start time in clock ticks since boot, 0 if gone.
int64_t ProcessStartTime(int pid);
bool ProcessAlive(int pid, int64_t startTime);
// A pidfd of `pid` (pidfd_open): it pins the process it opened; invalid, with errno,
// when there is no such process.
UniqueFd OpenPidfd(int pid);

// The named mutexes the image keeps, in the order of their names' code points: one
// while any process holds a handle to it (a process that ended without closing its
// handle may keep it listed until the name is next created).
std::vector<std::u16string> NamedMutexes();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_PROGRAMS_H
