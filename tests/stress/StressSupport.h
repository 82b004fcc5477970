// What the stress tests share: a pool of files made once and hard-linked into every
// terminal image, the registry of an image as `termsim reg export` shows it, and the
// journal of one run.
#ifndef KORVA_TESTS_STRESS_STRESSSUPPORT_H
#define KORVA_TESTS_STRESS_STRESSSUPPORT_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Termsim.h"

namespace stress {

// ---------------------------------------------------------------- the pool

// A file of the pool: where it lies and what it must still hold when the test ends.
struct PoolFile {
  std::string path;
  std::string bytes;
  int64_t mtimeNs = 0;
  // Its last-write time as the terminal stores it in DateTime: the FILETIME's 8 bytes,
  // low half first, little-endian. Hard links share it. Exact, and as a FAT volume
  // keeps it (moved up to an even second).
  std::string fileTimeBytes;
  std::string fatTimeBytes;
  std::string application;  // a good cabinet's: the SOFTWARE\Apps key its installation writes
};

// CE cabinets made once with gcab, each of its own application, so that entries of a
// start folder that link different ones never share a registration; damaged cabinets,
// a text file, and copies of Setup and the installer stand-in, all in one folder on the
// file system of the images that link them.
class Pool {
 public:
  explicit Pool(const std::string& folder);

  const std::vector<PoolFile>& cabinets() const { return cabinets_; }
  const std::vector<PoolFile>& damaged() const { return damaged_; }
  const PoolFile& text() const { return text_; }
  const PoolFile& setup() const { return setup_; }
  const PoolFile& installer() const { return installer_; }

  // Every pool file still has its bytes and its last-write time: nothing that ran on a
  // terminal wrote through a link. Names what changed; empty when nothing did.
  std::vector<std::string> Changed() const;

 private:
  PoolFile Add(const std::string& name, const std::string& bytes);

  std::string folder_;
  std::vector<PoolFile> cabinets_;
  std::vector<PoolFile> damaged_;
  PoolFile text_;
  PoolFile setup_;
  PoolFile installer_;
};

// Hard-links `from` to `to`, creating the folders of `to`; throws on failure.
void Link(const std::string& from, const std::string& to);

// ---------------------------------------------------------------- the registry

struct Value {
  uint32_t type = 0;
  std::string data;
};

// One subkey of SOFTWARE\Apps.
struct Application {
  std::string key;  // the subkey's name, UTF-8
  std::optional<Value> instl;
  std::optional<Value> cabFile;
};

struct Registry {
  std::vector<Application> applications;  // in export order
  std::optional<Value> dateTime;          // SOFTWARE\KORVA\Service Pack
  std::optional<Value> reset;             // SOFTWARE\KORVA\Service Pack
  std::optional<Value> askDestination;    // SOFTWARE\Apps\Microsoft Application Installer

  // The CAB paths of the applications that stand registered: Instl is a 4-byte value
  // that is not 0, and CabFile ends, terminator included, within a 256-unit slot.
  std::vector<std::u16string> Registered() const;
  bool IsRegistered(const std::u16string& path) const;  // in any letter case
};

// The image's registry below SOFTWARE, as a .reg export shows it. Fails the test when it
// cannot be read.
Registry ReadRegistry(const std::string& image);

// DWORD 1, as the installer flags are left after an installation.
bool IsDwordOne(const std::optional<Value>& value);

// ---------------------------------------------------------------- the journal

// The whole journal through `termsim journal --json`.
std::vector<e2e::Event> ReadJournal(const std::string& image);
// The events after `seq`.
std::vector<e2e::Event> EventsAfter(const std::vector<e2e::Event>& events, int64_t seq);

// ---------------------------------------------------------------- text

std::u16string U16(const std::string& utf8);
std::string Utf8(const std::u16string& text);

}  // namespace stress

#endif  // KORVA_TESTS_STRESS_STRESSSUPPORT_H
