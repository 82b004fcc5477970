// What one registry read costs on the emulated terminal, beside the floor it stands
// on: a prepared SQLite point read of a table of the same size. An open plus a query
// cannot cost less than two such reads, each in its own read transaction
// (SqliteTwoPointReads), so that is the helper's floor. Enumerating a key of 16,000
// subkeys shows whether RegEnumKeyExW stays linear.
#include "platform/host/Image.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#include <sqlite3.h>

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
    host::CreateImage(root_ + "/image", {});
    host::AttachImage(root_ + "/image");
    host::ChangeBatch transaction;
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

// A table of the registry's size, with one prepared point read on it.
class PlainTable {
 public:
  PlainTable() : root_(TemporaryFolder()) {
    sqlite3_open((root_ + "/plain.db").c_str(), &db_);
    sqlite3_exec(db_,
                 "PRAGMA journal_mode=WAL; CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT UNIQUE, value BLOB);"
                 "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 299)"
                 " INSERT INTO t(name, value) SELECT 'Key' || i, zeroblob(4) FROM n;",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_, "SELECT value FROM t WHERE name = ?", -1, &query_, nullptr);
  }
  ~PlainTable() {
    sqlite3_finalize(query_);
    sqlite3_close(db_);
    std::filesystem::remove_all(root_);
  }
  // One read in autocommit mode: its own read transaction.
  bool Read() {
    sqlite3_bind_text(query_, 1, "Key150", -1, SQLITE_STATIC);
    const bool found = sqlite3_step(query_) == SQLITE_ROW;
    benchmark::DoNotOptimize(sqlite3_column_blob(query_, 0));
    sqlite3_reset(query_);
    return found;
  }

 private:
  std::string root_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* query_ = nullptr;
};

void SqlitePointRead(benchmark::State& state) {
  PlainTable table;
  for (auto _ : state) {
    if (!table.Read()) {
      state.SkipWithError("no row");
      break;
    }
  }
}
BENCHMARK(SqlitePointRead);

void SqliteTwoPointReads(benchmark::State& state) {
  PlainTable table;
  for (auto _ : state) {
    if (!table.Read() || !table.Read()) {
      state.SkipWithError("no row");
      break;
    }
  }
}
BENCHMARK(SqliteTwoPointReads);

// Every subkey of a key of 16,000, by index, as a program walks them.
void EnumerateSixteenThousandKeys(benchmark::State& state) {
  constexpr int kSubKeys = 16000;
  BenchImage image;
  {
    host::ChangeBatch transaction;
    for (int i = 0; i < kSubKeys; ++i) host::RegistryCreateKey(host::RegistryRoot::LocalMachine, u"SOFTWARE\\Many\\Key" + host::FromUtf8(std::to_string(i)));
    transaction.Commit();
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Many", 0, 0, &key) != ERROR_SUCCESS) std::abort();
  for (auto _ : state) {
    DWORD index = 0;
    WCHAR name[256];
    DWORD chars = 256;
    while (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      ++index;
      chars = 256;
    }
    if (index != kSubKeys) {
      state.SkipWithError("wrong number of subkeys");
      break;
    }
  }
  RegCloseKey(key);
}
BENCHMARK(EnumerateSixteenThousandKeys)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
