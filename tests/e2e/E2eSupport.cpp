#include "tests/e2e/E2eSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

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

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const auto& added : extra) replaced = replaced || added.rfind(key, 0) == 0;
    if (!replaced) result.push_back(text);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

// Reads JSON the way `termsim journal --json` writes it: flat objects, strings and
// integers.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  std::map<std::string, JsonValue> Object() {
    std::map<std::string, JsonValue> members;
    Expect('{');
    if (Peek() == '}') {
      ++pos_;
      return members;
    }
    for (;;) {
      const std::string name = String();
      Expect(':');
      if (Peek() == '"') {
        members[name] = String();
      } else {
        members[name] = Number();
      }
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      Expect('}');
      break;
    }
    if (pos_ != text_.size()) Fail("trailing text");
    return members;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("bad JSON (" + what + ") at " + std::to_string(pos_) + ": " + text_);
  }
  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected ") + c);
    ++pos_;
  }
  int64_t Number() {
    size_t used = 0;
    const int64_t value = std::stoll(text_.substr(pos_), &used);
    pos_ += used;
    return value;
  }
  unsigned Hex4() {
    if (pos_ + 4 > text_.size()) Fail("short \\u");
    const unsigned value = static_cast<unsigned>(std::stoul(text_.substr(pos_, 4), nullptr, 16));
    pos_ += 4;
    return value;
  }
  static void AppendUtf8(std::string& out, unsigned c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  std::string String() {
    std::string out;
    Expect('"');
    while (Peek() != '"') {
      if (pos_ >= text_.size()) Fail("unterminated text");
      const char c = text_[pos_++];
      if (static_cast<unsigned char>(c) < 0x20) Fail("raw control character");
      if (c != '\\') {
        out += c;
        continue;
      }
      const char escape = text_[pos_++];
      switch (escape) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'u': {
          unsigned unit = Hex4();
          if (unit >= 0xD800 && unit < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (Hex4() - 0xDC00);
          }
          AppendUtf8(out, unit);
          break;
        }
        default: Fail("bad escape");
      }
    }
    ++pos_;
    return out;
  }

  const std::string& text_;
  size_t pos_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- processes

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment)
    : outPath_(TempPath("termsim-out")), errPath_(TempPath("termsim-err")) {
  std::vector<std::string> argvText = {program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText = Environment(extraEnvironment);
  std::vector<char*> envp;
  for (auto& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_TRUNC, 0);
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
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
  result.out = ReadFile(outPath_);
  result.err = ReadFile(errPath_);
  return result;
}

std::string Process::OutputSoFar() const { return ReadFile(outPath_); }

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
  auto found = members.find(name);
  if (found == members.end() || !std::holds_alternative<int64_t>(found->second)) return -1;
  return std::get<int64_t>(found->second);
}

std::string Event::Text(const std::string& name) const {
  auto found = members.find(name);
  if (found == members.end() || !std::holds_alternative<std::string>(found->second)) return "<absent>";
  return std::get<std::string>(found->second);
}

Event ParseJsonLine(const std::string& line) {
  Event event;
  event.line = line;
  try {
    event.members = JsonReader(line).Object();
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
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
