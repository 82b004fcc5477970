// Real cabinet files for the tests, made with Debian's gcab, and the installer's setup
// file that names an application.
#ifndef KORVA_TESTS_SUPPORT_CABINETS_H
#define KORVA_TESTS_SUPPORT_CABINETS_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cabinets {

// A member: its name as gcab is given it (folders kept), its bytes.
using Member = std::pair<std::string, std::string>;

// A cabinet made by gcab from `members` (MSZIP-compressed when asked). Throws when gcab fails.
std::string Make(const std::vector<Member>& members, bool compress = false);

// A setup file (".000" member): the 100-byte header, then the application name and the
// provider, so that the installer names the application "provider appName".
std::string SetupFile(std::string_view provider, std::string_view appName);

}  // namespace cabinets

#endif  // KORVA_TESTS_SUPPORT_CABINETS_H
