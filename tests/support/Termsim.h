// Driving termsim as a separate program, the way people and outside tests do: run it,
// read its exit code and output, read the journal it prints. The scenario and stress
// tests share it.
#ifndef KORVA_TESTS_SUPPORT_TERMSIM_H
#define KORVA_TESTS_SUPPORT_TERMSIM_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "terminal/rehearsal/JsonReader.h"
#include "tests/support/TestImage.h"

namespace e2e {

struct Result {
  int exitCode = -1;  // 128 + signal when termsim was killed
  std::string out;
  std::string err;
};

// A termsim started and not yet waited for; its output goes to temporary files.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& extraEnvironment);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Waits (at most two minutes: then it is killed and the test fails).
  Result Finish();
  pid_t pid() const { return pid_; }
  std::string OutputSoFar() const;  // what it printed on standard output until now

 private:
  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
};

// Runs termsim with `args` and waits for it. `extraEnvironment` entries ("LC_ALL=C")
// are added to this process's environment.
Result Termsim(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment = {});
// The same for another copy of termsim, or any program.
Result RunProgram(const std::string& program, const std::vector<std::string>& args);

// One journal event, as `termsim journal --json` gives it. Texts are UTF-8.
struct Event {
  rehearsal::JsonValue value;  // the object
  std::string line;            // as printed

  int64_t Int(const std::string& name) const;        // -1 when absent or not a number
  std::string Text(const std::string& name) const;   // "<absent>" when absent or not a text
  bool Has(const std::string& name) const { return value.Has(name); }
  std::string Name() const { return Text("event"); }
};

// A JSON object; fails the test on anything else.
Event ParseJsonLine(const std::string& line);

// A terminal image folder in a fresh temporary folder (the image itself not made
// yet), removed with the object after every process of the terminal is stopped.
class ImageFolder {
 public:
  ImageFolder();
  ~ImageFolder();
  ImageFolder(const ImageFolder&) = delete;
  ImageFolder& operator=(const ImageFolder&) = delete;

  const std::string& path() const { return path_; }  // IMAGE: inside the temporary folder
  const std::string& scratch() const { return scratch_; }  // a folder for the test's own files
  // `termsim create IMAGE args...`; fails the test unless it exits 0.
  void Create(const std::vector<std::string>& args = {});
  // Writes a file under fs/ behind the terminal's back ("FlashDisk/a.sh").
  void PutFile(std::string_view relative, std::string_view bytes) const;
  // Copies a host program into fs/.
  void PutProgram(std::string_view relative, const std::string& hostPath) const;
  std::string FsPath(std::string_view relative) const;

  std::vector<Event> Journal() const;  // `termsim journal IMAGE --json`
  std::string Export(const std::string& key = "") const;  // `termsim reg export IMAGE [KEY]`

 private:
  std::string base_;
  std::string path_;
  std::string scratch_;
};

// The events of `events` named `name`.
std::vector<Event> EventsNamed(const std::vector<Event>& events, const std::string& name);

// Exactly one non-empty line, as termsim reports a refusal.
bool IsOneLine(const std::string& text);

void WriteFile(const std::string& path, std::string_view bytes);
// Files and folders below `root` as sorted relative paths, folders with a trailing "/".
std::vector<std::string> ListTree(const std::string& root);
bool ProcessGone(int pid);
// Waits up to `seconds` for `done` to hold; returns whether it did.
bool WaitUntil(double seconds, const std::function<bool()>& done);

// The bytes of `text` as UTF-16LE, the way the terminal's text files hold it.
std::string Utf16Le(std::u16string_view text);
// `termsim window IMAGE --class C --title T --exit-delay MS`: the owner's pid once its
// window exists; -1 (and a test failure) when it cannot be started.
int StartWindow(const ImageFolder& image, const std::string& windowClass, const std::string& title,
                int exitDelayMs = 0);
// The pid of the program started as `cePath`, from its process-exit event; -1 when the
// journal has none.
int64_t ExitedProgramPid(const std::vector<Event>& events, const std::string& cePath);
// The events of `events` written by process `pid`.
std::vector<Event> EventsOf(const std::vector<Event>& events, int64_t pid);
// Sets HARDWARE\DEVICEMAP\TOUCH\CalibrationData to `calibration` (REG_SZ) with
// `termsim reg import`, as a calibration of the panel would have left it.
void ImportCalibrationData(const ImageFolder& image, const std::string& calibration);

}  // namespace e2e

#endif  // KORVA_TESTS_SUPPORT_TERMSIM_H
