// The image's settings: one table of names and texts, written when the image is made.
// Every setting is stored as text; a text that is not wholly one number where a number
// belongs means the image was changed behind the terminal's back, and its reader gets
// one error naming the setting rather than a guess.
#include "platform/host/HostInternal.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <sstream>
#include <string_view>

namespace host {

namespace {

template <class T>
T NumberFrom(const std::string& name, std::string_view text, T fallback) {
  if (text.empty()) return fallback;
  T value{};
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end)
    throw HostError("the image's setting " + name + " is not a number: '" + std::string(text) + "'",
                    ERROR_REGISTRY_CORRUPT);
  return value;
}

int64_t NowRealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// What the attached image was made with (KeepFixedSettings); none while none is attached.
std::optional<FixedSettings> g_fixed;

}  // namespace

void CreateSettingsTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT NOT NULL);
)sql");
}

void WriteNewSettings(sqlite3* db, const ImageOptions& options, const std::vector<std::string>& volumes) {
  std::ostringstream scale;
  scale.precision(17);
  scale << options.timeScale;
  std::string volumeList;
  for (const auto& volume : volumes) volumeList += (volumeList.empty() ? "" : "\n") + volume;
  std::vector<std::pair<std::string, std::string>> settings = {
      {"format", "korva-terminal-1"},
      {"model", options.model},
      {"language", options.language},
      {"time_scale", scale.str()},
      {"message_box", options.messageBox},
      {"calibration", options.calibration},
      {"calibration_data", options.calibrationData},
      {"reset_device", options.resetDevice},
      {"volumes", volumeList},
      {"file_times", options.fileTimes},
      {"created_ms", std::to_string(NowRealMs())},
      {"generation", "1"},
      {"processor", std::to_string(ProcessorType(options.processor).value_or(0))},
      {"ce_version", options.ceVersion},
      {"ce_build", options.ceBuild},
  };
  if (options.capacity) settings.emplace_back("capacity", std::to_string(*options.capacity));
  if (!options.durable) settings.emplace_back("durable", "no");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO settings(name, value) VALUES(?, ?)", -1, &insert, nullptr);
  for (const auto& [name, value] : settings) {
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

void StampCopiedSettings(sqlite3* db) {
  // The prepared image's own durability, while the copy is made its own.
  sqlite3_stmt* durable = nullptr;
  sqlite3_prepare_v2(db, "SELECT 1 FROM settings WHERE name = 'durable' AND value = 'no'", -1, &durable, nullptr);
  const bool notDurable = durable && sqlite3_step(durable) == SQLITE_ROW;
  sqlite3_finalize(durable);
  if (notDurable) Exec(db, kNotDurable);
  const std::string created = "UPDATE settings SET value = '" + std::to_string(NowRealMs()) + "' WHERE name = 'created_ms';";
  Exec(db, created.c_str());
}

FixedSettings ReadFixedSettings(sqlite3* db, const std::string& root, const std::string& path) {
  sqlite3_stmt* query = nullptr;
  std::string format, scale, created, capacity, durable;
  // The whole table, a score of rows, is read: a list of names to look up would make
  // SQLite build a temporary table for it, at every program's start.
  int read = sqlite3_prepare_v2(db, "SELECT name, value FROM settings", -1, &query, nullptr);
  while (query && (read = sqlite3_step(query)) == SQLITE_ROW) {
    const auto* nameText = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    const auto* valueText = reinterpret_cast<const char*>(sqlite3_column_text(query, 1));
    if (!nameText || !valueText) continue;  // a foreign database's table may hold NULLs
    const std::string_view name = nameText;
    std::string* wanted = name == "format"       ? &format
                          : name == "time_scale" ? &scale
                          : name == "created_ms" ? &created
                          : name == "durable"    ? &durable
                          : name == "capacity"   ? &capacity
                                                 : nullptr;
    if (wanted) *wanted = valueText;
  }
  sqlite3_finalize(query);
  // A database that a full host keeps from being read (its log's index cannot be made)
  // is no foreign one.
  if (read != SQLITE_DONE) {
    const HostError unread = DatabaseError(db, "cannot read " + path, sqlite3_errmsg(db));
    if (unread.code() == ERROR_DISK_FULL) throw unread;
  }
  if (format != "korva-terminal-1")
    throw HostError(root + " is not a terminal image (terminal.db is foreign)", ERROR_PATH_NOT_FOUND);
  FixedSettings settings;
  try {
    settings.timeScale = SettingDoubleFrom("time_scale", scale, 0);
    settings.createdMs = SettingIntFrom("created_ms", created, 0);
    if (!capacity.empty()) settings.capacity = static_cast<uint64_t>(SettingIntFrom("capacity", capacity, 0));
  } catch (const HostError& e) {
    throw HostError(root + ": " + e.what(), e.code());
  }
  settings.notDurable = durable == "no";
  // Images made before the lower bound keep the scale they were made with.
  if (!(settings.timeScale > 0 && settings.timeScale <= 1000)) settings.timeScale = 1.0;
  return settings;
}

void KeepFixedSettings(std::optional<FixedSettings> settings) { g_fixed = std::move(settings); }

double TimeScale() { return g_fixed ? g_fixed->timeScale : 1.0; }

int64_t CreatedMs() { return g_fixed ? g_fixed->createdMs : 0; }

std::optional<uint64_t> Capacity() { return g_fixed ? g_fixed->capacity : std::nullopt; }

std::string Setting(const std::string& name) {
  Statement query("SELECT value FROM settings WHERE name = ?");
  query.Bind(1, name);
  return query.Step() ? query.Text(0) : std::string();
}

void SetSetting(const std::string& name, const std::string& value) {
  Statement update("INSERT INTO settings(name, value) VALUES(?, ?) ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  update.Bind(1, name).Bind(2, value).Run();
}

// One name a line. Split by hand: a string stream would set up the C++ locale, which
// costs a short program more than its whole start.
std::vector<std::u16string> Volumes() {
  std::vector<std::u16string> result;
  const std::string lines = Setting("volumes");
  for (size_t start = 0; start < lines.size();) {
    const size_t end = std::min(lines.find('\n', start), lines.size());
    if (end > start) result.push_back(FromUtf8(std::string_view(lines).substr(start, end - start)));
    start = end + 1;
  }
  return result;
}

int64_t SettingIntFrom(const std::string& name, std::string_view text, int64_t fallback) {
  return NumberFrom(name, text, fallback);
}

double SettingDoubleFrom(const std::string& name, std::string_view text, double fallback) {
  return NumberFrom(name, text, fallback);
}

int64_t SettingInt(const std::string& name, int64_t fallback) { return SettingIntFrom(name, Setting(name), fallback); }

double SettingDouble(const std::string& name, double fallback) {
  return SettingDoubleFrom(name, Setting(name), fallback);
}

}  // namespace host
