// What the registry writer stores for each step, so that the test that kills it can
// tell a value that survived whole from one that did not.
#ifndef KORVA_TESTS_STRESS_WRITERPAYLOAD_H
#define KORVA_TESTS_STRESS_WRITERPAYLOAD_H

#include <cstdint>
#include <string>

namespace stress {

// Writer `name`'s step n goes to SOFTWARE\Stress\<name>\K<n % kWriterKeys> as V<n>.
inline constexpr int kWriterKeys = 16;

inline std::string WriterKey(const std::string& name, uint64_t n) {
  return "SOFTWARE\\Stress\\" + name + "\\K" + std::to_string(n % kWriterKeys);
}
inline std::string WriterValueName(uint64_t n) { return "V" + std::to_string(n); }

// Between 8 and 1,207 bytes, different for every writer and step, so that a value torn
// or swapped with another shows.
inline std::string WriterPayload(const std::string& name, uint64_t n) {
  std::string bytes = name + ":" + std::to_string(n) + ":";
  const size_t size = 8 + (n * 7919) % 1200;
  uint32_t state = static_cast<uint32_t>(n * 2654435761u) ^ static_cast<uint32_t>(name.size());
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 16);
  }
  return bytes.substr(0, size);
}

}  // namespace stress

#endif  // KORVA_TESTS_STRESS_WRITERPAYLOAD_H
