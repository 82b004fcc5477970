// The folder's Setup.exe: a program a twin runs as it is, or a Windows program, which no
// twin can run, so the host build of Setup runs in its place, and the version marks
// tell whether the two were built from the same sources.
#include "setup/VersionMark.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace rehearsal {

namespace {

// The first `most` bytes of the file (all of it by default).
std::string ReadAll(const std::string& path, std::streamsize most = std::numeric_limits<std::streamsize>::max()) {
  std::ifstream in(path, std::ios::binary);
  if (most != std::numeric_limits<std::streamsize>::max()) {
    std::string head(static_cast<size_t>(most), '\0');
    in.read(head.data(), most);
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

// An MZ header whose e_lfanew (at 0x3C, little-endian) points at "PE\0\0".
bool IsPeFile(const std::string& bytes) {
  if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return false;
  uint32_t peOffset = 0;
  for (int i = 3; i >= 0; --i) peOffset = (peOffset << 8) | static_cast<unsigned char>(bytes[0x3C + i]);
  return peOffset <= bytes.size() - 4 && bytes.compare(peOffset, 4, std::string("PE\0\0", 4)) == 0;
}

}  // namespace

ProgramForm ProgramFormOf(const std::string& path) {
  // A program's headers are at its start; the whole file only for a PE header further on.
  constexpr std::streamsize kHead = 64 * 1024;
  std::string bytes = ReadAll(path, kHead);
  if (bytes.size() == kHead && !IsPeFile(bytes) && bytes.compare(0, 2, "MZ") == 0) bytes = ReadAll(path);
  if (IsPeFile(bytes)) return ProgramForm::Windows;
  if (bytes.compare(0, 4, "\x7F" "ELF") == 0 || bytes.compare(0, 2, "#!") == 0) return ProgramForm::Terminal;
  return ProgramForm::Neither;
}

std::string VersionMarkOf(const std::string& path) {
  // The prefix and the number of hex digits after it, from the program's own mark.
  const std::string_view ownMark = SETUP_VERSION_MARK;
  const std::string_view prefix = ownMark.substr(0, ownMark.find(':') + 1);
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  // Read in pieces (a program is megabytes); each piece keeps the last mark's length
  // but one of the piece before, so a mark across two pieces is still found whole.
  std::ifstream in(path, std::ios::binary);
  std::string window;
  std::vector<char> piece(1 << 20);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    window.append(piece.data(), static_cast<size_t>(in.gcount()));
    for (size_t at = window.find(prefix); at != std::string::npos; at = window.find(prefix, at + 1)) {
      if (window.size() - at < ownMark.size()) break;
      const std::string_view mark = std::string_view(window).substr(at, ownMark.size());
      if (std::all_of(mark.begin() + static_cast<std::ptrdiff_t>(prefix.size()), mark.end(), hex)) return std::string(mark);
    }
    if (window.size() >= ownMark.size()) window.erase(0, window.size() - (ownMark.size() - 1));
  }
  return "";
}

const char* MarkComparison(const SetupFile& setup) {
  if (!setup.hostBuild) return nullptr;
  if (setup.mark.empty()) return "missing";
  return setup.mark == setup.ranMark ? "matches" : "differs";
}

std::optional<Finding> SetupFinding(const SetupFile& setup) {
  const char* comparison = MarkComparison(setup);
  if (comparison == nullptr || std::string_view(comparison) == "matches") return std::nullopt;
  const std::string folderFile = "the folder's " + setup.name + " (a Windows program)";
  const std::string ran = "the Setup the twins ran (" + (setup.ranMark.empty() ? "no mark" : setup.ranMark) + ")";
  if (setup.mark.empty()) return Finding{Reason::ForeignSetup, folderFile + " carries no mark of Setup's sources, unlike " + ran};
  return Finding{Reason::ForeignSetup, folderFile + " carries the mark of other sources (" + setup.mark + ") than " + ran};
}

}  // namespace rehearsal
