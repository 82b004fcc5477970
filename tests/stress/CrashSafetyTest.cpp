// Processes of a terminal that die at any moment: registry writers killed mid-write must
// leave the image whole with every committed value, and two copies of Setup started at
// the same moment must come down to one.
//
// By hand: KORVA_CRASH_ROUNDS=N sets how many times the writers are killed (default 30),
// KORVA_CRASH_SEED=S the seed that draws how many writers and when they die.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/stress/StressSupport.h"
#include "tests/stress/WriterPayload.h"
#include "tests/support/Spawn.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// ---------------------------------------------------------------- registry writers

// A writer process and what it reported through its pipe.
class Writer {
 public:
  Writer(const std::string& image, const std::string& name, uint64_t first) : name_(name), expected_(first) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    try {
      pid_ = support::Spawn(WRITER_PATH, {image, name, std::to_string(first)}, {}, {{.fd = 1, .from = fds[1]}});
    } catch (...) {
      ::close(fds[0]);
      ::close(fds[1]);
      throw;
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Writer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  // The last step reported as committed; -1 when none.
  int64_t lastReported() const { return lastReported_; }
  bool reportsInOrder() const { return inOrder_; }

  // Reads what the pipe holds now, without waiting.
  void ReadAvailable() {
    pollfd entry{fd_, POLLIN, 0};
    while (::poll(&entry, 1, 0) > 0 && Read()) {
    }
  }
  // Kills the writer, then reads everything it reported before it died.
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    while (Read()) {
    }
  }

 private:
  bool Read() {
    char buffer[4096];
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      const uint64_t step = std::strtoull(pending_.substr(0, end).c_str(), nullptr, 10);
      inOrder_ = inOrder_ && step == expected_;
      expected_ = step + 1;
      lastReported_ = static_cast<int64_t>(step);
    }
    return true;
  }

  std::string name_;
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
  uint64_t expected_;
  int64_t lastReported_ = -1;
  bool inOrder_ = true;
};

std::optional<std::string> ReadBinary(const std::string& key, const std::string& name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, host::FromUtf8(key).c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  BYTE data[4096];
  DWORD size = sizeof data;
  DWORD type = 0;
  const LONG result = RegQueryValueExW(handle, host::FromUtf8(name).c_str(), nullptr, &type, data, &size);
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return std::nullopt;
  return std::string(reinterpret_cast<char*>(data), size);
}

std::optional<uint64_t> ReadStep(const std::string& name, uint64_t n) {
  const auto data = ReadBinary(stress::WriterKey(name, n), stress::WriterValueName(n));
  if (!data) return std::nullopt;
  return *data == stress::WriterPayload(name, n) ? n : ~0ull;
}

TEST(CrashSafety, RegistryWritersKilledAtRandomKeepEveryCommittedValue) {
  const uint64_t rounds = EnvNumber("KORVA_CRASH_ROUNDS", 30);
  std::mt19937_64 draw(EnvNumber("KORVA_CRASH_SEED", 7));
  e2e::ImageFolder image;
  image.Create();
  const std::vector<std::string> names = {"A", "B"};
  std::map<std::string, uint64_t> stored;  // per writer: steps 0 .. stored-1 are in the registry
  int unreported = 0;                      // kills that came between a commit and its report
  for (uint64_t round = 0; round < rounds; ++round) {
    std::vector<std::unique_ptr<Writer>> writers;
    const size_t count = 1 + draw() % 2;
    for (size_t i = 0; i < count; ++i)
      writers.push_back(std::make_unique<Writer>(image.path(), names[i], stored[names[i]]));
    // Often while the writer is still attaching, else anywhere in its writes.
    const auto lifetime = std::chrono::milliseconds(draw() % 2 ? draw() % 40 : 40 + draw() % 360);
    const auto deadline = std::chrono::steady_clock::now() + lifetime;
    while (std::chrono::steady_clock::now() < deadline) {
      for (auto& writer : writers) writer->ReadAvailable();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& writer : writers) writer->Kill();

    ASSERT_NO_THROW(host::AttachImage(image.path()));
    ASSERT_EQ(host::CheckImageIntegrity(), "ok") << "round " << round;
    for (const auto& writer : writers) {
      const std::string& name = writer->name();
      const uint64_t before = stored[name];
      EXPECT_TRUE(writer->reportsInOrder()) << name;
      uint64_t next = before;
      for (std::optional<uint64_t> step; (step = ReadStep(name, next)); ++next) {
        ASSERT_EQ(*step, next) << "writer " << name << " step " << next << " holds other bytes (round " << round << ")";
      }
      // Every reported step is there; at most the one in flight when the writer died
      // went further, and nothing after it.
      const int64_t reported = writer->lastReported();
      EXPECT_GT(static_cast<int64_t>(next), reported)
          << "writer " << name << " lost a committed step (round " << round << ")";
      EXPECT_LE(static_cast<int64_t>(next), std::max<int64_t>(reported + 2, static_cast<int64_t>(before) + 1))
          << "writer " << name << " (round " << round << ")";
      for (uint64_t beyond = next + 1; beyond < next + 3; ++beyond) EXPECT_FALSE(ReadStep(name, beyond)) << beyond;
      if (reported >= 0) {
        const auto last = ReadBinary("SOFTWARE\\Stress\\" + name, "Last");
        ASSERT_TRUE(last && last->size() == 4) << name;
        uint32_t value = 0;
        std::memcpy(&value, last->data(), 4);
        EXPECT_GE(static_cast<int64_t>(value), reported) << name;
        EXPECT_LT(static_cast<uint64_t>(value), next) << name;
      }
      // Steps of earlier rounds are still whole.
      for (int sample = 0; sample < 8 && before > 0; ++sample) {
        const uint64_t old = draw() % before;
        EXPECT_EQ(ReadStep(name, old), std::optional<uint64_t>(old)) << "writer " << name << " step " << old;
      }
      unreported += static_cast<int64_t>(next) == reported + 2;
      stored[name] = next;
    }
    host::DetachImage();
  }

  // Everything ever reported, read once more, through the terminal's command line too.
  ASSERT_NO_THROW(host::AttachImage(image.path()));
  for (const auto& [name, count] : stored) {
    for (uint64_t n = 0; n < count; ++n) ASSERT_EQ(ReadStep(name, n), std::optional<uint64_t>(n)) << name << " " << n;
  }
  host::DetachImage();
  EXPECT_EQ(e2e::Termsim({"reg", "export", image.path(), "SOFTWARE\\Stress"}).exitCode, 0);
  EXPECT_GT(stored["A"], 0u) << "the writers were killed before they wrote anything";
  std::cout << rounds << " rounds: " << stored["A"] << " + " << stored["B"] << " steps kept, " << unreported
            << " kills between a commit and its report" << std::endl;
}

// ---------------------------------------------------------------- two copies of Setup

// Two `termsim run` of one program, released at the same moment.
class StartedTogether {
 public:
  StartedTogether(const std::vector<std::string>& arguments) {
    std::vector<std::string> text = {TERMSIM_PATH};
    text.insert(text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : text) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int gate[2];
    if (::pipe(gate) != 0) throw std::runtime_error("pipe failed");
    for (auto& pid : pids_) {
      pid = ::fork();
      if (pid == 0) {
        ::close(gate[1]);
        char byte;
        while (::read(gate[0], &byte, 1) > 0) {
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
      }
    }
    ::close(gate[0]);
    ::close(gate[1]);  // both children leave their read at once
  }
  ~StartedTogether() {
    for (int pid : pids_) {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    }
  }
  StartedTogether(const StartedTogether&) = delete;
  StartedTogether& operator=(const StartedTogether&) = delete;

  // Waits up to `seconds` for one of them to end; its exit code, or -1.
  int WaitForFirst(double seconds) {
    int code = -1;
    e2e::WaitUntil(seconds, [&] {
      for (auto& pid : pids_) {
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
          pid = -1;
          code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        }
      }
      return false;
    });
    return code;
  }
  int Running() const { return (pids_[0] > 0) + (pids_[1] > 0); }

 private:
  int pids_[2] = {-1, -1};
};

TEST(CrashSafety, TwoSetupsStartedTogetherComeDownToOne) {
  const char* const kSetup = "\\FlashDisk\\SP\\Setup.exe";
  // Setup is copied once onto the images' file system and linked into each of them.
  const e2e::ImageFolder workspace;
  const std::string setupCopy = workspace.scratch() + "/Setup.exe";
  fs::copy_file(SETUP_PATH, setupCopy);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    e2e::ImageFolder image;
    // No platform name: the copy that runs stops at its error box, which is never
    // answered, and keeps holding the single-instance guard.
    image.Create({"--message-box", "never", "--no-platform"});
    stress::Link(setupCopy, image.FsPath("FlashDisk/SP/Setup.exe"));
    StartedTogether both({"run", image.path(), kSetup, "--timeout", "60"});

    EXPECT_EQ(both.WaitForFirst(30), 0) << "the copy that had to give way";
    ASSERT_TRUE(
        e2e::WaitUntil(30, [&] { return !e2e::EventsNamed(stress::ReadJournal(image.path()), "messagebox").empty(); }));
    const auto journal = stress::ReadJournal(image.path());
    const auto boxes = e2e::EventsNamed(journal, "messagebox");
    ASSERT_EQ(boxes.size(), 1u);
    int starts = 0;
    for (const auto& start : e2e::EventsNamed(journal, "process-start")) starts += start.Text("image") == kSetup;
    EXPECT_EQ(starts, 2);
    const auto exits = e2e::EventsNamed(journal, "process-exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].Text("image"), kSetup);
    EXPECT_EQ(exits[0].Int("exit_code"), 0);
    EXPECT_NE(exits[0].Int("pid"), boxes[0].Int("pid"));
    EXPECT_EQ(both.Running(), 1) << "the copy at its box must still be running";
    EXPECT_EQ(e2e::Termsim({"stop", image.path()}).exitCode, 0);
  }
}

}  // namespace
