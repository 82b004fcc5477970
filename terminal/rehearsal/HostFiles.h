// Reading the user's files on the host without being held up by what they may be.
#ifndef KORVA_TERMINAL_REHEARSAL_HOSTFILES_H
#define KORVA_TERMINAL_REHEARSAL_HOSTFILES_H

#include <filesystem>
#include <optional>
#include <string>

namespace rehearsal {

// The first `most` bytes of a regular file (more, when it has them: one byte over tells
// a file longer than `most`), never blocking on a FIFO or a device and never following
// a link; nullopt when it is none or cannot be read (Fleet.cpp).
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t most);

// host::CopyHostFile, throwing Failure with its reason (Twin.cpp).
void CopyHostFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_HOSTFILES_H
