// What the folder itself tells before any run: the service pack of each kind, other
// models' service packs, surprising install orders, paths too long, and names that
// look like CABs but are none.
#include "install/CabInventory.h"
#include "platform/host/Terminal.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

struct FolderEntry {
  std::u16string name;
  bool isFolder = false;
  bool isCabinet = false;  // begins as a cabinet file does
};

std::vector<FolderEntry> CabEntries(const std::string& folder) {
  std::vector<FolderEntry> entries;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    FolderEntry found{host::FromUtf8(entry.path().filename().string()), entry.is_directory(ec), false};
    if (!host::GlobMatch(u"*.cab", found.name)) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    char signature[4] = {};
    found.isCabinet = !found.isFolder && in.read(signature, 4) && std::string(signature, 4) == "MSCF";
    entries.push_back(found);
  }
  return entries;
}

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

void ServicePackWarnings(const std::vector<FolderEntry>& entries, std::vector<Warning>& warnings) {
  for (const auto& kind : AllKinds()) {
    const std::string own = ServicePackNameOfKind(kind);
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const FolderEntry& e) { return host::EqualsIgnoreCase(e.name, host::FromUtf8(own)); });
    if (found != entries.end()) {
      warnings.push_back({WarningKind::ServicePack, host::ToUtf8(found->name), kind + ": its service pack is " + host::ToUtf8(found->name)});
    } else {
      warnings.push_back({WarningKind::NoServicePack, "", kind + ": no service pack in this folder (its Setup looks for " + own + ")"});
    }
    for (const auto& other : AllKinds()) {
      const std::string name = ServicePackNameOfKind(other);
      const auto present = std::find_if(entries.begin(), entries.end(), [&](const FolderEntry& e) {
        return other != kind && host::EqualsIgnoreCase(e.name, host::FromUtf8(name));
      });
      if (present == entries.end()) continue;
      warnings.push_back({WarningKind::OtherModelServicePack, host::ToUtf8(present->name),
                          kind + " installs " + host::ToUtf8(present->name) + ", the service pack of " + other +
                              ", as an ordinary application"});
    }
  }
}

// Within each pass, neighbours in Setup's code-unit order that people would order the other way.
void OrderWarnings(const std::vector<FolderEntry>& entries, std::vector<Warning>& warnings) {
  for (const bool patches : {true, false}) {
    std::vector<std::u16string> names;
    for (const auto& entry : entries) {
      if (!IsAnyServicePack(entry.name) && host::GlobMatch(u"Patch*.cab", entry.name) == patches) names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return host::ToSortKey(a) < host::ToSortKey(b); });
    for (size_t i = 1; i < names.size(); ++i) {
      if (!ExpectedBefore(names[i], names[i - 1])) continue;
      warnings.push_back({WarningKind::Order, host::ToUtf8(names[i - 1]),
                          host::ToUtf8(names[i - 1]) + " installs before " + host::ToUtf8(names[i]) +
                              ": Setup orders names code unit by code unit (capitals before small letters, 10 before "
                              "2), not alphabetically ignoring case"});
    }
  }
}

}  // namespace

std::vector<Warning> FolderWarnings(const Plan& plan) {
  const std::vector<FolderEntry> entries = CabEntries(plan.folder);
  std::vector<Warning> warnings;
  ServicePackWarnings(entries, warnings);
  OrderWarnings(entries, warnings);
  for (const auto& entry : entries) {
    const std::string name = host::ToUtf8(entry.name);
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

}  // namespace rehearsal
