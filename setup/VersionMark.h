// The mark of the sources this Setup was built from, the same in every build of them
// whatever the toolchain: a fixed prefix, then the 64-bit FNV-1a hash, in 16 hex digits,
// of the program's source files (every file of setup/ environment/ install/
// calibration/ registry/ completion/ texts/ and platform/coredll.h, but this one), each
// its path from the source root and a NUL, then its bytes and a NUL, in the order of
// the paths. program_tests checks it and says what to write here when the sources
// changed. ASCII, so that a search of a binary's bytes finds it; data, never shown.
#ifndef KORVA_SETUP_VERSIONMARK_H
#define KORVA_SETUP_VERSIONMARK_H

const char SETUP_VERSION_MARK[] = "KORVA-SETUP-SOURCE:ddf3a16277decc9b";

#endif  // KORVA_SETUP_VERSIONMARK_H
