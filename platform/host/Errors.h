// How the emulated terminal's C++ interface reports a failure: it throws HostError,
// which carries a one-line reason and the ERROR_* code a CE call would set for it.
#ifndef KORVA_PLATFORM_HOST_ERRORS_H
#define KORVA_PLATFORM_HOST_ERRORS_H

#include "platform/coredll.h"

#include <stdexcept>
#include <string>

namespace host {

// A failure of the terminal: the image, its database, a program it could not start.
// what() is the reason as a user reads it; code() the ERROR_* that stands for it.
class HostError : public std::runtime_error {
 public:
  HostError(const std::string& what, DWORD code) : std::runtime_error(what), code_(code) {}
  DWORD code() const { return code_; }

 private:
  DWORD code_;
};

// 5 -> "ERROR_ACCESS_DENIED"; a number as text for codes without a name.
std::string ErrorName(DWORD error);

// Runs `body` and turns a HostError into its code (as the last error) and `failure`:
// how a CE call, or a destructor that must not throw, calls the terminal.
template <class T, class F>
T Guarded(T failure, F&& body) {
  try {
    return body();
  } catch (const HostError& e) {
    ::SetLastError(e.code());
    return failure;
  }
}

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_ERRORS_H
