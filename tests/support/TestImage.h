// A terminal image in a fresh temporary folder, attached to this test process, so
// that a test calls the real API against it. Removed with the object.
#ifndef KORVA_TESTS_SUPPORT_TESTIMAGE_H
#define KORVA_TESTS_SUPPORT_TESTIMAGE_H

#include "platform/coredll.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"

#include <string>
#include <string_view>
#include <vector>

// The last error set before a call that must leave it alone, and the preset of the
// outputs that a call must not write.
constexpr DWORD kSentinel = 0xdeadbeef;

class TestImage {
 public:
  explicit TestImage(host::ImageOptions options = {});
  ~TestImage();
  TestImage(const TestImage&) = delete;
  TestImage& operator=(const TestImage&) = delete;

  const std::string& root() const { return root_; }
  // Host path of a file under fs/, given with forward slashes ("FlashDisk/SP/a.cab").
  std::string FsPath(std::string_view relative) const;
  // Writes a file under fs/ behind the terminal's back, creating its folders.
  void PutFile(std::string_view relative, std::string_view bytes) const;
  // The bytes of a file under fs/; "" when absent.
  std::string GetFile(std::string_view relative) const;
  bool Exists(std::string_view relative) const;

 private:
  std::string root_;
};

// The bytes of a file of the host; "" when it cannot be read.
std::string ReadHostFile(const std::string& path);

// The attached image's journal, or only its events named `event`.
std::vector<host::JournalEvent> JournalEvents(const std::string& event = "");

#endif  // KORVA_TESTS_SUPPORT_TESTIMAGE_H
