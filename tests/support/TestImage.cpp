#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TestImage::TestImage(host::ImageOptions options) {
  std::string pattern = (fs::temp_directory_path() / "korva-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  host::CreateImage(root_, options);
  host::AttachImage(root_);
}

TestImage::~TestImage() {
  host::DetachImage();
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string TestImage::FsPath(std::string_view relative) const { return root_ + "/fs/" + std::string(relative); }

void TestImage::PutFile(std::string_view relative, std::string_view bytes) const {
  const fs::path path = FsPath(relative);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TestImage::GetFile(std::string_view relative) const { return ReadHostFile(FsPath(relative)); }

bool TestImage::Exists(std::string_view relative) const { return fs::exists(FsPath(relative)); }

std::vector<host::JournalEvent> JournalEvents(const std::string& event) {
  std::vector<host::JournalEvent> events = host::JournalEventsAfter(0);
  std::erase_if(events, [&](const host::JournalEvent& e) { return !event.empty() && e.event != event; });
  return events;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}
