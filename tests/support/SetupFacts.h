// What tests of whole runs know of Setup: where it and the installer stand on a
// terminal, the boxes it shows, how termsim reports the reset, and its limits. The
// texts and limits come from the program's own headers, so that a changed text is
// changed once.
#ifndef KORVA_TESTS_SUPPORT_SETUPFACTS_H
#define KORVA_TESTS_SUPPORT_SETUPFACTS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "install/CabInventory.h"
#include "texts/Texts.h"

namespace setupfacts {

// Where the terminal keeps Setup and the packages it installs.
inline constexpr char kSetupCePath[] = "\\FlashDisk\\SP\\Setup.exe";
inline constexpr char kStartFolder[] = "\\FlashDisk\\SP";
inline constexpr char kInstallerCePath[] = "\\Windows\\wceload.exe";

inline constexpr int64_t kNoticeStyle = 0x00040000;                // MB_TOPMOST
inline constexpr int64_t kErrorBoxStyle = 0x00040000 | 0x00000010;  // MB_TOPMOST | MB_ICONHAND
inline constexpr int kResetExit = 100;                              // termsim run: the terminal reset

inline constexpr size_t kMaxCabs = MAX_CABS;
// A CAB path this long does not fit an inventory slot (terminator included).
inline constexpr size_t kSlotUnits = INSTALLED_CAB_CHARS;

// The text Setup shows, as UTF-8, for a terminal of `language` ("en" or "ja").
std::string Text(TextPair pair, const std::string& language);

}  // namespace setupfacts

#endif  // KORVA_TESTS_SUPPORT_SETUPFACTS_H
