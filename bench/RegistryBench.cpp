// What one registry read costs on the emulated terminal, beside the floor it stands
// on: a prepared SQLite point read of a table of the same size.
#include "platform/host/HostInternal.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int kKeys = 300;

std::string TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korva-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

std::u16string KeyPath(int index) {
  return u"SOFTWARE\\Bench\\Key" + host::FromUtf8(std::to_string(index));
}

// An image with a few hundred keys, each with one DWORD value.
class BenchImage {
 public:
  BenchImage() : root_(TemporaryFolder()) {
    std::string error;
    if (!host::CreateImage(root_ + "/image", {}, &error) || !host::AttachImage(root_ + "/image", &error)) std::abort();
    host::Transaction transaction;
    for (int i = 0; i < kKeys; ++i) {
      HKEY key = nullptr;
      const DWORD value = static_cast<DWORD>(i);
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(i).c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr);
      RegSetValueExW(key, u"Reset", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
      RegCloseKey(key);
    }
    transaction.Commit();
  }
  ~BenchImage() {
    host::DetachImage();
    std::filesystem::remove_all(root_);
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

void RegistryHelperRead(benchmark::State& state) {
  BenchImage image;
  const std::u16string path = KeyPath(kKeys / 2);
  for (auto _ : state) {
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS ||
        RegQueryValueExW(key, u"Reset", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS) {
      state.SkipWithError("registry read failed");
      break;
    }
    RegCloseKey(key);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(RegistryHelperRead);

void SqlitePointRead(benchmark::State& state) {
  const std::string root = TemporaryFolder();
  sqlite3* db = nullptr;
  sqlite3_open((root + "/plain.db").c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT UNIQUE, value BLOB);"
               "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 299)"
               " INSERT INTO t(name, value) SELECT 'Key' || i, zeroblob(4) FROM n;",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(db, "SELECT value FROM t WHERE name = ?", -1, &query, nullptr);
  for (auto _ : state) {
    sqlite3_bind_text(query, 1, "Key150", -1, SQLITE_STATIC);
    if (sqlite3_step(query) != SQLITE_ROW) {
      state.SkipWithError("no row");
      break;
    }
    benchmark::DoNotOptimize(sqlite3_column_blob(query, 0));
    sqlite3_reset(query);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  std::filesystem::remove_all(root);
}
BENCHMARK(SqlitePointRead);

}  // namespace

BENCHMARK_MAIN();
