// Real cabinet files for the tests and the cabinet maker command (cecab), made with
// Debian's gcab: CE cabinets as CAB Wizard makes them, their setup files (".000"
// members) with the files, registry values and shortcuts they install, and cabinets of
// any members.
#ifndef KORVA_TESTS_SUPPORT_CABINETS_H
#define KORVA_TESTS_SUPPORT_CABINETS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cabinets {

// A member: its name as gcab is given it (folders kept), its bytes.
using Member = std::pair<std::string, std::string>;

// A cabinet made by gcab from `members` (MSZIP-compressed when asked). Throws when gcab fails.
std::string Make(const std::vector<Member>& members, bool compress = false);

// What a setup file says. Folder and key paths are written with backslashes; each
// component becomes one string of the file.
struct Setup {
  std::string provider;
  std::string appName;
  uint32_t processor = 0;  // 0: any
  uint32_t minMajor = 0, minMinor = 0, maxMajor = 0, maxMinor = 0, minBuild = 0, maxBuild = 0;
  struct File {
    uint16_t number;     // the member "*.NNN"
    std::string folder;  // "%CE2%", "%InstallDir%\\Data"
    std::string name;
    uint32_t flags = 0;
  };
  struct Value {
    std::string key;  // "SOFTWARE\\KORVA"
    std::string name;
    uint32_t flags;    // type and flags as the file stores them (0x00010001 DWORD...)
    std::string data;  // the bytes after the name
    uint16_t root = 3;  // HKEY_LOCAL_MACHINE
    bool substitute = false;
  };
  struct Link {
    std::string path;  // "%CE11%\\Tool"
    uint16_t target;   // a file's number, or a folder's index + 1 in order of first use
    bool toFile = true;
  };
  std::vector<File> files;
  std::vector<Value> values;
  std::vector<Link> links;
};

// The setup file's bytes: the 100-byte header, the names, then the six sections.
std::string SetupFile(const Setup& setup);
// A setup file that only names the application "provider appName".
std::string SetupFile(std::string_view provider, std::string_view appName);

// A CE cabinet: the setup file first, as "<STEM>.000", then each file's bytes as the
// member of its number ("QDVDRV.001"), then the setup DLL as "<STEM>.999".
struct CeCabinet {
  Setup setup;
  std::vector<std::string> fileBytes;  // the bytes of setup.files[i]; absent ones are empty
  bool withSetupFile = true;  // false: the kind the terminal's installer refuses
  std::string setupDll;       // none when empty
  bool compress = false;      // MSZIP
};
std::string MakeCe(const CeCabinet& cabinet);
// A CE cabinet of the application "provider appName" that installs one file,
// %InstallDir%\`name`, holding `bytes`.
std::string Application(std::string_view provider, std::string_view appName, std::string_view name = "readme.txt",
                        std::string_view bytes = "installed by Setup");

// Cabinets with damaged headers, made from the good cabinet `good` (by the layout of
// the cabinet format): cut inside its header, its signature garbled, no files, every
// file in a folder the cabinet does not have. Each named "<what>.cab".
std::vector<Member> DamagedHeaders(const std::string& good);

}  // namespace cabinets

#endif  // KORVA_TESTS_SUPPORT_CABINETS_H
