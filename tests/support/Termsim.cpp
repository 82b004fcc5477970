#include "tests/support/Termsim.h"

#include "tests/support/Spawn.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {

namespace fs = std::filesystem;

std::string TempPath(const char* stem) {
  std::string pattern = (fs::temp_directory_path() / stem).string() + "-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  return pattern;
}

}  // namespace

// ---------------------------------------------------------------- processes

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment)
    : outPath_(TempPath("termsim-out")), errPath_(TempPath("termsim-err")) {
  pid_ = support::Spawn(program, args, extraEnvironment, {{.fd = 1, .path = outPath_}, {.fd = 2, .path = errPath_}});
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(outPath_.c_str());
  ::unlink(errPath_.c_str());
}

Result Process::Finish() {
  Result result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "termsim did not end within two minutes";
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadHostFile(outPath_);
  result.err = ReadHostFile(errPath_);
  return result;
}

std::string Process::OutputSoFar() const { return ReadHostFile(outPath_); }

Result Termsim(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment) {
  Process process(TERMSIM_PATH, args, extraEnvironment);
  return process.Finish();
}

Result RunProgram(const std::string& program, const std::vector<std::string>& args) {
  Process process(program, args, {});
  return process.Finish();
}

// ---------------------------------------------------------------- journal

int64_t Event::Int(const std::string& name) const {
  const rehearsal::JsonValue& member = value[name];
  return member.kind == rehearsal::JsonValue::Kind::Number ? member.Int() : -1;
}

std::string Event::Text(const std::string& name) const {
  const rehearsal::JsonValue& member = value[name];
  return member.kind == rehearsal::JsonValue::Kind::Text ? member.Text() : "<absent>";
}

Event ParseJsonLine(const std::string& line) {
  Event event;
  event.line = line;
  std::string why;
  auto parsed = rehearsal::ParseJson(line, &why);
  if (!parsed || parsed->kind != rehearsal::JsonValue::Kind::Object) {
    ADD_FAILURE() << "bad JSON (" << (parsed ? "not an object" : why) << "): " << line;
  } else {
    event.value = std::move(*parsed);
  }
  return event;
}

std::vector<Event> EventsNamed(const std::vector<Event>& events, const std::string& name) {
  std::vector<Event> result;
  for (const auto& event : events) {
    if (event.Name() == name) result.push_back(event);
  }
  return result;
}

// ---------------------------------------------------------------- images

ImageFolder::ImageFolder() {
  std::string pattern = (fs::temp_directory_path() / "korva-e2e-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  path_ = base_ + "/image";
  scratch_ = base_ + "/scratch";
  fs::create_directories(scratch_);
}

ImageFolder::~ImageFolder() {
  std::error_code ec;
  if (fs::exists(path_ + "/terminal.db", ec)) Termsim({"stop", path_});
  fs::remove_all(base_, ec);
}

void ImageFolder::Create(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"create", path_};
  all.insert(all.end(), args.begin(), args.end());
  const Result result = Termsim(all);
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

std::string ImageFolder::FsPath(std::string_view relative) const { return path_ + "/fs/" + std::string(relative); }

void ImageFolder::PutFile(std::string_view relative, std::string_view bytes) const {
  const fs::path target = FsPath(relative);
  fs::create_directories(target.parent_path());
  WriteFile(target.string(), bytes);
}

void ImageFolder::PutProgram(std::string_view relative, const std::string& hostPath) const {
  const fs::path target = FsPath(relative);
  fs::create_directories(target.parent_path());
  fs::copy_file(hostPath, target, fs::copy_options::overwrite_existing);
}

std::vector<Event> ImageFolder::Journal() const {
  const Result result = Termsim({"journal", path_, "--json"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<Event> events;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) events.push_back(ParseJsonLine(line));
  return events;
}

std::string ImageFolder::Export(const std::string& key) const {
  std::vector<std::string> args = {"reg", "export", path_};
  if (!key.empty()) args.push_back(key);
  const Result result = Termsim(args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result.out;
}

// ---------------------------------------------------------------- files

bool IsOneLine(const std::string& text) {
  return text.size() > 1 && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) relative += '/';
    entries.push_back(relative);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool ProcessGone(int pid) {
  // A zombie is gone for the terminal: it runs nothing.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

bool WaitUntil(double seconds, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// ---------------------------------------------------------------- terminal runs

std::string Utf16Le(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

int StartWindow(const ImageFolder& image, const std::string& windowClass, const std::string& title, int exitDelayMs) {
  const Result result = Termsim({"window", image.path(), "--class", windowClass, "--title", title, "--exit-delay",
                                 std::to_string(exitDelayMs)});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  if (result.exitCode != 0) return -1;
  return std::stoi(result.out);
}

int64_t ExitedProgramPid(const std::vector<Event>& events, const std::string& cePath) {
  for (const auto& event : events) {
    if (event.Name() == "process-exit" && event.Text("image") == cePath) return event.Int("pid");
  }
  return -1;
}

std::vector<Event> EventsOf(const std::vector<Event>& events, int64_t pid) {
  std::vector<Event> result;
  for (const auto& event : events) {
    if (event.Int("pid") == pid) result.push_back(event);
  }
  return result;
}

void ImportCalibrationData(const ImageFolder& image, const std::string& calibration) {
  const std::string file = image.scratch() + "/touch.reg";
  WriteFile(file, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"CalibrationData\"=\"" + calibration +
                      "\"\n");
  const Result imported = Termsim({"reg", "import", image.path(), file});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
}

}  // namespace e2e
