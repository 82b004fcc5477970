// Setup over a start folder that holds a damaged cabinet: the installer refuses it, the
// run ends with the install-error box, and the terminal is not reset. The damaged
// headers are made here; the cabinets from elsewhere are read from ../shared/cabs when
// it is there.
#include "tests/scenario/SetupRunSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace installrun {
namespace {

void ExpectRefused(const std::string& name, const std::string& bytes) {
  SCOPED_TRACE(name);
  ASSERT_FALSE(bytes.empty());
  SetupTerminal terminal({"--language", "ja"});
  terminal.PutEntries({Cab("Tool.cab", bytes)});
  const SetupRun run = terminal.Run();
  ExpectEnding(run, Ending::kInstallError, "ja");
  EXPECT_EQ(InstallerCommandLines(run.events), StartFolderPaths({"Tool.cab"}));
  // Found damaged (3), not merely without a setup file.
  EXPECT_EQ(InstallerExitCodes(run.events), std::vector<int64_t>{3});
  Attached attached(terminal);
  EXPECT_TRUE(RegisteredCabFiles().empty());
}

TEST(HostileCabinetRun, EveryDamagedHeaderEndsWithTheInstallErrorBox) {
  for (const auto& [name, bytes] : cabinets::DamagedHeaders(ApplicationCabinet("Tool"))) ExpectRefused(name, bytes);
}

TEST(HostileCabinetRun, EveryDamagedCabinetFromElsewhereEndsWithTheInstallErrorBox) {
  const std::string folder = KORVA_SHARED_CABS;
  if (!std::filesystem::exists(folder + "/bad_signature.cab")) GTEST_SKIP() << "no cabinets from elsewhere in " << folder;
  for (const char* name : {"bad_folderindex.cab", "bad_nofiles.cab", "bad_signature.cab",
                           "cve-2010-2800-mszip-infinite-loop.cab", "cve-2014-9556-qtm-infinite-loop.cab",
                           "cve-2014-9732-folders-segfault.cab", "cve-2015-4470-mszip-over-read.cab",
                           "cve-2017-11423-fname-overread.cab", "filename-read-violation-1.cab",
                           "lzx-main-tree-no-lengths.cab"}) {
    ExpectRefused(name, ReadHostFile(folder + "/" + name));
  }
}

}  // namespace
}  // namespace installrun
