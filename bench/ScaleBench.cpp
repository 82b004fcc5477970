// How Setup's cost grows with the size of the inventory and of its start folder.
// Run by hand, after a build:
//
//   build/bin/scale_bench [REPETITIONS]     (default 5)
//
// Every run installs nothing and ends silently: the start folder's few CABs are all
// registered, and the other applications of the inventory have Instl = 1 and a CabFile
// too long for the inventory, so that each of them costs the most registry calls an
// application can cost without counting against the limit of 30. Two series:
//   - inventories of 10, 100 and 1,000 applications, start folder of 10 files;
//   - start folders of 10, 1,000 and 10,000 files (5 of them CABs), 10 applications.
// For each size it prints the median wall time of `termsim run` and the median of
// Setup's own lifetime in the journal (process-start to process-exit, time scale 1),
// then the cost of one more application or file at each step: growth is at most linear
// when the later step's cost per item is not clearly above the earlier one's.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr char kSetupCePath[] = "\\FlashDisk\\SP\\Setup.exe";
const std::vector<std::string> kFolderCabs = {"Patch01.cab", "Patch02.cab", "Tool1.cab", "Tool2.cab", "Tool3.cab"};
// Growth counts as linear while the later step's cost per item stays below this many
// times the earlier step's (timing noise on a busy machine included).
constexpr double kLinearRatio = 2.0;

struct Output {
  int exitCode = -1;
  std::string out;
};

// Runs a program, standard output captured (to a file: the journal can be long).
Output RunProgram(const std::vector<std::string>& arguments, const std::string& scratch) {
  const std::string outPath = scratch + "/out.txt";
  std::vector<std::string> text = arguments;
  std::vector<char*> argv;
  for (auto& argument : text) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + arguments[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  Output output;
  output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::ifstream in(outPath, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  output.out = bytes.str();
  return output;
}

void Termsim(const std::vector<std::string>& arguments, const std::string& scratch) {
  std::vector<std::string> all = {TERMSIM_PATH};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const Output output = RunProgram(all, scratch);
  if (output.exitCode != 0) throw std::runtime_error("termsim " + arguments[0] + " failed");
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A number after `"name":` in one journal line; -1 when absent.
long long JsonNumber(const std::string& line, const std::string& name) {
  const size_t at = line.find("\"" + name + "\":");
  return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + name.size() + 3);
}

struct Terminal {
  std::string image;
  std::string scratch;
};

// An image whose inventory holds `applications` and whose start folder holds `files`.
Terminal MakeTerminal(const std::string& base, const std::string& setupCopy, int applications, int files) {
  Terminal terminal{base + "/image", base + "/scratch"};
  fs::create_directories(terminal.scratch);
  Termsim({"create", terminal.image, "--calibration", "fail"}, terminal.scratch);
  const std::string folder = terminal.image + "/fs/FlashDisk/SP/";
  fs::create_directories(folder);
  if (::link(setupCopy.c_str(), (folder + "Setup.exe").c_str()) != 0) throw std::runtime_error("cannot link Setup");
  for (const auto& name : kFolderCabs) WriteFile(folder + name, "");
  for (int i = static_cast<int>(kFolderCabs.size()) + 1; i < files; ++i)
    WriteFile(folder + "data" + std::to_string(i) + ".dat", "");

  std::string reg = "Windows Registry Editor Version 5.00\n";
  for (const auto& name : kFolderCabs) {
    reg += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\" + name.substr(0, name.size() - 4) +
           "]\n\"Instl\"=dword:00000001\n" + "\"CabFile\"=\"\\\\FlashDisk\\\\SP\\\\" + name + "\"\n";
  }
  const std::string tooLong = "\\\\Storage Card\\\\" + std::string(260, 'y') + ".cab";
  for (int i = static_cast<int>(kFolderCabs.size()); i < applications; ++i) {
    reg += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Application " + std::to_string(i) +
           "]\n\"Instl\"=dword:00000001\n\"CabFile\"=\"" + tooLong + "\"\n";
  }
  WriteFile(terminal.scratch + "/inventory.reg", reg);
  Termsim({"reg", "import", terminal.image, terminal.scratch + "/inventory.reg"}, terminal.scratch);
  return terminal;
}

struct Timing {
  double runMs = 0;    // median wall time of `termsim run`
  double setupMs = 0;  // median of Setup's lifetime in the journal
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Timing Measure(const Terminal& terminal, int repetitions) {
  std::vector<double> run;
  std::vector<double> setup;
  for (int i = 0; i <= repetitions; ++i) {  // the first run warms the caches and is not counted
    const auto start = std::chrono::steady_clock::now();
    const Output output = RunProgram({TERMSIM_PATH, "run", terminal.image, kSetupCePath}, terminal.scratch);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (output.exitCode != 1)
      throw std::runtime_error("a run did not end silently (" + std::to_string(output.exitCode) + ")");
    const Output journal = RunProgram({TERMSIM_PATH, "journal", terminal.image, "--json"}, terminal.scratch);
    long long started = -1;
    long long ended = -1;
    std::istringstream lines(journal.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("\"event\":\"messagebox\"") != std::string::npos) throw std::runtime_error("a run showed a box");
      if (line.find("\"image\":\"\\\\FlashDisk\\\\SP\\\\Setup.exe\"") == std::string::npos) continue;
      if (line.find("\"event\":\"process-start\"") != std::string::npos) started = JsonNumber(line, "time_ms");
      if (line.find("\"event\":\"process-exit\"") != std::string::npos) ended = JsonNumber(line, "time_ms");
    }
    if (i == 0) continue;
    run.push_back(ms);
    setup.push_back(static_cast<double>(ended - started));
  }
  return {Median(run), Median(setup)};
}

void Series(const char* title, const char* unit, const std::vector<int>& sizes, const std::vector<Timing>& timings) {
  std::printf("\n%s\n", title);
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::printf("  %6d %-13s termsim run %9.1f ms   Setup %9.1f ms\n", sizes[i], unit, timings[i].runMs,
                timings[i].setupMs);
  }
  std::vector<double> perItem;
  for (size_t i = 1; i < sizes.size(); ++i) {
    const double cost = (timings[i].setupMs - timings[i - 1].setupMs) / (sizes[i] - sizes[i - 1]);
    perItem.push_back(cost);
    std::printf("  %d -> %d: %.4f ms per %s\n", sizes[i - 1], sizes[i], cost, unit);
  }
  // Below a microsecond per item the earlier step is noise: compare with that instead.
  const double ratio = perItem.back() / std::max(perItem.front(), 0.001);
  std::printf("  growth: %s (later step costs %.1f times the earlier per %s)\n",
              ratio <= kLinearRatio ? "at most linear" : "FASTER THAN LINEAR", ratio, unit);
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::string base = (fs::temp_directory_path() / "korva-scale-XXXXXX").string();
  if (!::mkdtemp(base.data())) return 1;
  try {
    const std::string setupCopy = base + "/Setup.exe";
    fs::copy_file(SETUP_PATH, setupCopy);
    std::printf("scale_bench: %d runs per size (medians), time scale 1, nothing to install\n", repetitions);

    const std::vector<int> inventories = {10, 100, 1000};
    std::vector<Timing> inventoryTimings;
    for (int applications : inventories) {
      const Terminal terminal =
          MakeTerminal(base + "/apps-" + std::to_string(applications), setupCopy, applications, 10);
      inventoryTimings.push_back(Measure(terminal, repetitions));
    }
    Series("inventory size (start folder of 10 files)", "application", inventories, inventoryTimings);

    const std::vector<int> folders = {10, 1000, 10000};
    std::vector<Timing> folderTimings;
    for (int files : folders) {
      const Terminal terminal = MakeTerminal(base + "/files-" + std::to_string(files), setupCopy, 10, files);
      folderTimings.push_back(Measure(terminal, repetitions));
    }
    Series("start folder size (5 CABs, 10 applications)", "file", folders, folderTimings);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale_bench: %s\n", e.what());
    fs::remove_all(base);
    return 1;
  }
  fs::remove_all(base);
  return 0;
}
