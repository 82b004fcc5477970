// A rehearsal cut into parts that run anywhere, and put together again: which part a
// twin falls in, what the parts must share (their inputs' identity), and the merge.
#include "terminal/rehearsal/Rehearsal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The regular files below `folder` (links to files followed, as the copy does), sorted.
std::vector<FileIdentity> FilesOf(const std::string& folder, bool wholeTree) {
  std::vector<FileIdentity> files;
  if (folder.empty()) return files;
  std::error_code ec;
  const auto add = [&](const fs::path& path) {
    struct ::stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    files.push_back({fs::relative(path, folder, ec).generic_string(), static_cast<int64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
  };
  if (wholeTree) {
    for (auto entry = fs::recursive_directory_iterator(folder, ec); !ec && entry != fs::recursive_directory_iterator();
         entry.increment(ec))
      add(entry->path());
  } else {
    for (const auto& entry : fs::directory_iterator(folder, ec)) add(entry.path());
  }
  std::sort(files.begin(), files.end(), [](const FileIdentity& a, const FileIdentity& b) { return a.name < b.name; });
  return files;
}

// The order one rehearsal gives its twins: the clean kinds in the model table's order,
// then the fleet's by name.
bool RehearsalOrder(const TwinReport& a, const TwinReport& b) {
  if (a.fleet != b.fleet) return !a.fleet;
  if (a.fleet) return a.name < b.name;
  const std::vector<std::string> kinds = AllKinds();
  return std::find(kinds.begin(), kinds.end(), a.name) < std::find(kinds.begin(), kinds.end(), b.name);
}

}  // namespace

std::string Inputs::Digest() const {
  std::string text;
  for (const auto& [title, files] : {std::pair{"folder", &folder}, std::pair{"fleet", &fleet}}) {
    text += std::string(title) + "\n";
    for (const auto& file : *files)
      text += file.name + "\t" + std::to_string(file.size) + "\t" + std::to_string(file.lastWrite) + "\n";
  }
  for (const auto& [name, value] : options) text += name + "=" + value + "\n";
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(Fnv1a64(text)));
  return digest;
}

int ShardOf(const std::string& name, int parts) { return static_cast<int>(Fnv1a64(name) % static_cast<uint64_t>(parts)) + 1; }

Inputs IdentifyInputs(const std::string& folder, const std::string& fleetFolder,
                      std::vector<std::pair<std::string, std::string>> options) {
  return Inputs{FilesOf(folder, true), FilesOf(fleetFolder, false), std::move(options)};
}

Report MergeParts(const std::vector<Report>& parts, const std::vector<std::string>& names) {
  if (parts.empty()) throw BadRequest("no part to merge");
  const int count = parts.front().plan.shard ? parts.front().plan.shard->n : 0;
  std::map<int, size_t> partOf;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Plan& plan = parts[i].plan;
    if (!plan.shard) throw BadRequest(names[i] + " is no part of a sharded rehearsal (it has no shard)");
    if (plan.shard->n != count)
      throw BadRequest(names[i] + " is a part of " + std::to_string(plan.shard->n) + ", " + names[0] + " of " +
                       std::to_string(count));
    if (plan.inputs.Digest() != parts.front().plan.inputs.Digest())
      throw BadRequest(names[i] + " and " + names[0] + " are parts of rehearsals of different inputs");
    if (const auto [at, added] = partOf.emplace(plan.shard->k, i); !added)
      throw BadRequest("part " + std::to_string(plan.shard->k) + " is given twice: " + names[at->second] + " and " + names[i]);
  }
  for (int k = 1; k <= count; ++k) {
    if (!partOf.count(k)) throw BadRequest("part " + std::to_string(k) + " of " + std::to_string(count) + " is missing");
  }
  Report merged;
  merged.plan = parts.front().plan;
  merged.plan.shard.reset();
  for (const auto& part : parts) merged.twins.insert(merged.twins.end(), part.twins.begin(), part.twins.end());
  std::stable_sort(merged.twins.begin(), merged.twins.end(), RehearsalOrder);
  for (const auto& part : parts) merged.plan.fleet = merged.plan.fleet || part.plan.fleet;
  // The folder's warnings are every part's; each names the twins it concerns in that part.
  merged.warnings = parts.front().warnings;
  for (Warning& warning : merged.warnings) {
    warning.twins.clear();
    for (const auto& twin : merged.twins) {
      const bool concerned = std::any_of(parts.begin(), parts.end(), [&](const Report& part) {
        return std::any_of(part.warnings.begin(), part.warnings.end(), [&](const Warning& w) {
          return w.kind == warning.kind && w.cab == warning.cab && w.text == warning.text &&
                 std::find(w.twins.begin(), w.twins.end(), twin.name) != w.twins.end();
        });
      });
      if (concerned) warning.twins.push_back(twin.name);
    }
  }
  return merged;
}

}  // namespace rehearsal
