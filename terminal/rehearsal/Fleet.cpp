// A fleet folder: a device's export per twin (NAME.reg, in any letter case) and, beside
// it, NAME.count, how many of the fleet's terminals look like it.
#include "platform/host/Text.h"
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

constexpr int64_t kMostTerminals = 1000000000;
// A count is one number and a line end: what is longer holds something else.
constexpr size_t kCountBytes = 32;

bool HasExtension(const fs::path& path, std::u16string_view extension) {
  return host::EqualsIgnoreCase(host::FromUtf8(path.extension().string()), extension);
}

// The count a NAME.count file holds: one decimal number from 1 to 10^9, with nothing
// but a line end after it; else why not.
std::optional<int64_t> ParseCount(const std::string& text, std::string* why) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const bool digits = !line.empty() && line.size() <= 10 &&
                      std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
  const int64_t count = digits ? std::stoll(line) : 0;
  if (digits && count >= 1 && count <= kMostTerminals && text.size() <= kCountBytes) return count;
  std::string shown = line.substr(0, kCountBytes);
  for (char& c : shown) c = c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
  *why = "holds \"" + shown + "\", not one number of terminals from 1 to 1000000000";
  return std::nullopt;
}

void ReadCount(const fs::path& file, TwinRequest& twin) {
  const auto text = ReadSmallFile(file, kCountBytes);
  std::string why = "is not a file that can be read";
  const auto count = text ? ParseCount(*text, &why) : std::nullopt;
  if (count) {
    twin.count = *count;
  } else if (twin.refused.empty()) {
    twin.refused = file.filename().string() + " " + why;
  }
}

}  // namespace

std::optional<std::string> ReadSmallFile(const fs::path& path, size_t most) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct ::stat st {};
  std::string bytes;
  bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char chunk[65536];
  while (read && bytes.size() <= most) {
    const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, most + 1 - bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      read = got == 0;
      break;
    }
    bytes.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  if (!read) return std::nullopt;
  return bytes;
}

Fleet ReadFleet(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw BadRequest("--fleet " + folder + " is not a folder");
  Fleet fleet;
  std::vector<fs::path> counts;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const fs::path& path = entry.path();
    if (HasExtension(path, u".count")) counts.push_back(path);
    if (!HasExtension(path, u".reg")) continue;
    TwinRequest twin{path.stem().string(), "", "", fs::absolute(path).string(), 1, ""};
    if (entry.is_symlink(ec)) {
      twin.refused = path.filename().string() + " is a link, which a rehearsal does not follow";
    } else if (!entry.is_regular_file(ec)) {
      twin.refused = path.filename().string() + " is not a regular file (a folder, FIFO, device or socket)";
    }
    if (twin.name.empty() || twin.name[0] == '.') twin.refused = path.filename().string() + " names no twin: rename it";
    fleet.twins.push_back(twin);
  }
  if (fleet.twins.empty()) throw BadRequest("--fleet " + folder + " holds no export (NAME.reg)");
  std::sort(fleet.twins.begin(), fleet.twins.end(), [](const TwinRequest& a, const TwinRequest& b) { return a.name < b.name; });
  // Twins are folders named as their exports: two names one letter case apart are one
  // name where case does not count.
  for (auto& twin : fleet.twins) {
    for (const auto& other : fleet.twins) {
      if (&other == &twin || !host::EqualsIgnoreCase(host::FromUtf8(other.name), host::FromUtf8(twin.name))) continue;
      twin.refused = fs::path(twin.regFile).filename().string() + " and " + fs::path(other.regFile).filename().string() +
                     " name twins that differ only in letter case: rename one";
    }
  }
  std::sort(counts.begin(), counts.end());
  for (const auto& count : counts) {
    const auto twin = std::find_if(fleet.twins.begin(), fleet.twins.end(),
                                   [&](const TwinRequest& t) { return t.name == count.stem().string(); });
    if (twin != fleet.twins.end()) {
      ReadCount(count, *twin);
    } else {
      fleet.warnings.push_back({WarningKind::CountWithoutExport, "",
                                count.filename().string() + " counts the terminals of no export (" +
                                    count.stem().string() + ".reg): it is not read"});
    }
  }
  return fleet;
}

}  // namespace rehearsal
