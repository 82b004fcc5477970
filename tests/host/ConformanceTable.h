// Conformance tables: each row is one call of the terminal's API against a real
// image, the answer Windows gives (result, last error, what the call wrote), and the
// section of the platform notes ("§1.5") that holds that answer, with its sources.
// A row that fails prints its section, so that the answer can be checked at its source.
#ifndef KORVA_TESTS_HOST_CONFORMANCETABLE_H
#define KORVA_TESTS_HOST_CONFORMANCETABLE_H

#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace conformance {

// Units past the end of a buffer, which no call may write.
constexpr WCHAR kGuard = 0x7777;

struct Answer {
  int64_t result = 0;
  DWORD error = kSentinel;  // the last error after the call; kSentinel: left alone
  std::string outputs;      // what the call wrote where the row looks
  bool operator==(const Answer&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Answer& answer) {
  out << "result " << answer.result << ", last error ";
  if (answer.error == kSentinel) {
    out << "untouched";
  } else {
    out << answer.error;
  }
  if (!answer.outputs.empty()) out << ", " << answer.outputs;
  return out;
}

struct Row {
  const char* notes;  // the section of the platform notes: "§1.8"
  std::string what;
  std::function<Answer()> call;
  Answer expected;
};

inline void CheckRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) EXPECT_EQ(row.call(), row.expected) << row.notes << " " << row.what;
}

// A call's result as a number: a handle or window is 0 (NULL), -1
// (INVALID_HANDLE_VALUE) or 1 (any other value).
template <class T>
int64_t ResultOf(T value) {
  if constexpr (std::is_pointer_v<T>) {
    if (!value) return 0;
    return reinterpret_cast<uintptr_t>(value) == reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE) ? -1 : 1;
  } else {
    return static_cast<int64_t>(value);
  }
}

// Makes `call` with the last error preset to the sentinel; `outputs` then describes
// what the row looks at.
template <class F>
Answer Ask(F&& call, const std::function<std::string()>& outputs = nullptr) {
  SetLastError(kSentinel);
  const auto result = call();
  const DWORD error = GetLastError();
  return {ResultOf(result), error, outputs ? outputs() : std::string()};
}

// Expected answers.
inline Answer Succeeds(int64_t result, std::string outputs = {}) { return {result, kSentinel, std::move(outputs)}; }
inline Answer Fails(int64_t result, DWORD error, std::string outputs = {}) { return {result, error, std::move(outputs)}; }
// A call that, as Windows does, sets the last error to 0 when it succeeds.
inline Answer SucceedsClearing(int64_t result, std::string outputs = {}) { return {result, 0, std::move(outputs)}; }
// A registry call returns its code and never sets the last error.
inline Answer Returns(LONG code, std::string outputs = {}) { return {code, kSentinel, std::move(outputs)}; }

// UTF-16 units as text: the units as UTF-8, a terminator as "\0", a guard as "#".
inline std::string Units(const WCHAR* buffer, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (buffer[i] == 0) {
      text += "\\0";
    } else if (buffer[i] == kGuard) {
      text += "#";
    } else {
      const bool pair = buffer[i] >= 0xD800 && buffer[i] < 0xDC00 && i + 1 < count;
      text += host::ToUtf8(std::u16string_view(&buffer[i], pair ? 2 : 1));
      if (pair) ++i;
    }
  }
  return text;
}

// The file and registry tables run on terminals of this capacity, far above what their
// rows store: only a filled terminal meets it.
inline constexpr uint64_t kCapacity = 16u << 20;
inline host::ImageOptions Bounded() {
  host::ImageOptions options;
  options.capacity = kCapacity;
  return options;
}
// Fills the terminal's storage with a user's file put into fs/ behind its back (sparse:
// it takes no room on the host); deleting it frees the room again.
inline void FillStorage(const TestImage& image, const std::string& relative) {
  image.PutFile(relative, "");
  ASSERT_EQ(::truncate(image.FsPath(relative).c_str(), static_cast<off_t>(kCapacity)), 0);
}

inline std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace conformance

#endif  // KORVA_TESTS_HOST_CONFORMANCETABLE_H
