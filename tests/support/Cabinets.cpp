#include "tests/support/Cabinets.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace cabinets {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void Put16(std::string& data, size_t at, size_t value) {
  data[at] = static_cast<char>(value & 0xFF);
  data[at + 1] = static_cast<char>(value >> 8);
}

}  // namespace

std::string Make(const std::vector<Member>& members, bool compress) {
  std::string staging = (fs::temp_directory_path() / "korva-cab-XXXXXX").string();
  if (!::mkdtemp(staging.data())) throw std::runtime_error("mkdtemp failed");
  fs::create_directories(fs::path(staging) / "work");
  std::string command = "cd " + Quoted(staging + "/work") + " && gcab -c " + (compress ? "-z " : "") + "../out.cab";
  for (const auto& [name, bytes] : members) {
    const fs::path path = fs::path(staging) / "work" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    command += " " + Quoted(name);
  }
  const int status = std::system((command + " 2>/dev/null").c_str());
  std::ifstream in(fs::path(staging) / "out.cab", std::ios::binary);
  std::ostringstream cabinet;
  cabinet << in.rdbuf();
  fs::remove_all(staging);
  if (status != 0 || cabinet.str().empty()) throw std::runtime_error("gcab failed: " + command);
  return cabinet.str();
}

std::string SetupFile(std::string_view provider, std::string_view appName) {
  std::string data(100, '\0');
  data.replace(0, 4, "MSCE");
  data += std::string(appName) + '\0' + std::string(provider) + '\0';
  Put16(data, 8, data.size());
  Put16(data, 16, 1);
  Put16(data, 84, 100);
  Put16(data, 86, appName.size() + 1);
  Put16(data, 88, 100 + appName.size() + 1);
  Put16(data, 90, provider.size() + 1);
  return data;
}

}  // namespace cabinets
