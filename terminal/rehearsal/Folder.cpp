// What the folder's listing tells before any run: the service pack of each kind, other
// models' service packs, surprising install orders, paths too long, names a terminal
// cannot hold or holds once, and names that look like CABs but are none.
#include "install/CabInventory.h"
#include "platform/host/Paths.h"
#include "platform/host/Text.h"
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <filesystem>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

struct FolderEntry {
  std::string hostName;
  std::u16string name;
  bool isFolder = false;
  bool isCabinet = false;  // begins as a cabinet file does
  bool usable = true;      // a terminal's file system can hold the name
};

// Whether a FAT volume of a terminal can hold `hostName`: UTF-8, none of the characters
// a CE name may not hold, no trailing dot or blank (Windows drops them).
bool UsableName(const std::string& hostName, const std::u16string& name) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(hostName.data());
  const auto length = static_cast<int32_t>(hostName.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return !name.empty() && std::none_of(name.begin(), name.end(), host::IsForbiddenInFileName) && name.back() != u'.' &&
         name.back() != u' ';
}

std::vector<FolderEntry> Entries(const std::string& folder) {
  std::vector<FolderEntry> entries;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    FolderEntry found{entry.path().filename().string(), {}, entry.is_directory(ec), false, true};
    found.name = host::FromUtf8(found.hostName);
    found.usable = UsableName(found.hostName, found.name);
    // A link FOLDER may hold names a file of FOLDER (CheckFolderEntries): read that file.
    const fs::path file = entry.is_symlink(ec) ? fs::canonical(entry.path(), ec) : entry.path();
    const auto signature = found.isFolder ? std::nullopt : ReadSmallFile(file, 4);
    found.isCabinet = signature && signature->rfind("MSCF", 0) == 0;
    entries.push_back(found);
  }
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.hostName < b.hostName; });
  return entries;
}

bool IsCab(const FolderEntry& entry) { return entry.usable && host::GlobMatch(u"*.cab", entry.name); }

bool IsAnyServicePack(const std::u16string& name) {
  for (const auto& kind : AllKinds()) {
    if (host::EqualsIgnoreCase(name, host::FromUtf8(ServicePackNameOfKind(kind)))) return true;
  }
  return false;
}

// Alphabetical ignoring case, runs of digits as numbers: the order people expect.
bool ExpectedBefore(const std::u16string& a, const std::u16string& b) {
  const std::u16string x = host::FoldCase(a), y = host::FoldCase(b);
  size_t i = 0, j = 0;
  const auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  while (i < x.size() && j < y.size()) {
    if (digit(x[i]) && digit(y[j])) {
      size_t ei = i, ej = j;
      while (ei < x.size() && digit(x[ei])) ++ei;
      while (ej < y.size() && digit(y[ej])) ++ej;
      const std::u16string nx = x.substr(i, ei - i), ny = y.substr(j, ej - j);
      const auto trim = [](const std::u16string& s) { return s.substr(std::min(s.find_first_not_of(u'0'), s.size())); };
      const std::u16string tx = trim(nx), ty = trim(ny);
      if (tx.size() != ty.size()) return tx.size() < ty.size();
      if (tx != ty) return tx < ty;
      i = ei;
      j = ej;
      continue;
    }
    if (x[i] != y[j]) return x[i] < y[j];
    ++i;
    ++j;
  }
  return x.size() - i < y.size() - j;
}

// What each kind takes from the folder as its service pack, and as another model's;
// each warning is about that kind's twins.
void ServicePackWarnings(const std::vector<FolderEntry>& entries, std::vector<Warning>& warnings) {
  const auto named = [&](const std::string& name) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const FolderEntry& e) { return IsCab(e) && host::EqualsIgnoreCase(e.name, host::FromUtf8(name)); });
  };
  for (const auto& kind : AllKinds()) {
    const std::string own = ServicePackNameOfKind(kind);
    if (const auto found = named(own); found != entries.end()) {
      warnings.push_back({WarningKind::ServicePack, found->hostName, kind + ": its service pack is " + found->hostName, kind});
    } else {
      warnings.push_back(
          {WarningKind::NoServicePack, "", kind + ": no service pack in this folder (its Setup looks for " + own + ")", kind});
    }
    for (const auto& other : AllKinds()) {
      const auto present = named(ServicePackNameOfKind(other));
      if (other == kind || present == entries.end()) continue;
      warnings.push_back({WarningKind::OtherModelServicePack, present->hostName,
                          kind + " installs " + present->hostName + ", the service pack of " + other +
                              ", as an ordinary application",
                          kind});
    }
  }
}

// Within each pass, every pair that Setup's code-unit order puts otherwise than people
// would (alphabetically ignoring case, numbers by value).
void OrderWarnings(const std::vector<FolderEntry>& entries, std::vector<Warning>& warnings) {
  for (const bool patches : {true, false}) {
    std::vector<std::u16string> names;
    for (const auto& entry : entries) {
      if (IsCab(entry) && !IsAnyServicePack(entry.name) && host::GlobMatch(u"Patch*.cab", entry.name) == patches)
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return host::ToSortKey(a) < host::ToSortKey(b); });
    for (size_t i = 0; i < names.size(); ++i) {
      for (size_t j = i + 1; j < names.size(); ++j) {
        if (!ExpectedBefore(names[j], names[i])) continue;
        warnings.push_back({WarningKind::Order, host::ToUtf8(names[i]),
                            host::ToUtf8(names[i]) + " installs before " + host::ToUtf8(names[j]) +
                                ": Setup orders names code unit by code unit (capitals before small letters, 10 before "
                                "2), not alphabetically ignoring case"});
      }
    }
  }
}

// Names a terminal cannot hold, and names one folder of a terminal holds once.
void NameWarnings(const std::vector<FolderEntry>& entries, std::vector<Warning>& warnings) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const FolderEntry& entry = entries[i];
    if (!entry.usable) {
      warnings.push_back({WarningKind::UnusableName, entry.hostName,
                          "\"" + host::ToUtf8(entry.name) + "\" is a name a terminal's file system cannot hold (control "
                          "characters, \\ / : * ? \" < > |, a trailing dot or blank): a terminal never sees it"});
      continue;
    }
    for (size_t j = i + 1; j < entries.size(); ++j) {
      if (!entries[j].usable || !host::EqualsIgnoreCase(entry.name, entries[j].name)) continue;
      warnings.push_back({WarningKind::SameName, entry.hostName,
                          entry.hostName + " and " + entries[j].hostName +
                              " differ only in letter case: one folder of a terminal holds one of them"});
    }
  }
}

}  // namespace

std::vector<Warning> FolderWarnings(const Plan& plan) {
  const std::vector<FolderEntry> entries = Entries(plan.folder);
  std::vector<Warning> warnings;
  ServicePackWarnings(entries, warnings);
  OrderWarnings(entries, warnings);
  NameWarnings(entries, warnings);
  for (const auto& entry : entries) {
    if (!IsCab(entry)) continue;
    const std::string& name = entry.hostName;
    const size_t length = plan.at.size() + 1 + entry.name.size();
    if (length >= INSTALLED_CAB_CHARS) {
      warnings.push_back({WarningKind::PathTooLong, name, name + ": its path on the terminal has " + std::to_string(length) +
                                                     " characters; Setup passes over paths of 256 and more"});
    }
    if (entry.isFolder) {
      warnings.push_back({WarningKind::FolderNamedCab, name, name + " is a folder named like a CAB: Setup hands it to the installer"});
    } else if (!entry.isCabinet) {
      warnings.push_back({WarningKind::NotACabinet, name, name + " is named like a CAB but is no cabinet file"});
    }
  }
  return warnings;
}

void CheckFolderEntries(const std::string& folder) {
  std::error_code ec;
  const fs::path root = fs::canonical(folder, ec);
  for (auto entry = fs::recursive_directory_iterator(folder, ec); !ec && entry != fs::recursive_directory_iterator();
       entry.increment(ec)) {
    const fs::file_status status = entry->symlink_status(ec);
    const std::string shown = fs::relative(entry->path(), folder, ec).string();
    if (fs::is_symlink(status)) {
      const fs::path target = fs::canonical(entry->path(), ec);
      const fs::path inside = ec ? fs::path() : target.lexically_relative(root);
      if (ec || inside.empty() || *inside.begin() == ".." || !fs::is_regular_file(fs::symlink_status(target, ec)))
        throw BadRequest("FOLDER holds " + shown + ", a link to what is not a file of FOLDER: a rehearsal follows no such link");
      continue;
    }
    if (!fs::is_regular_file(status) && !fs::is_directory(status))
      throw BadRequest("FOLDER holds " + shown + ", neither a file nor a folder (a FIFO, device or socket), which a terminal "
                       "cannot hold");
  }
  if (ec) throw BadRequest("FOLDER " + folder + " cannot be read: " + ec.message());
}

}  // namespace rehearsal
