// Linked into the host programs that are built statically (Setup, the stand-ins,
// termsim): ICU's code is in the program, but its 30 MB of data are not. They are the
// system's own ICU data library, mapped read-only and handed to ICU as its common data,
// so that every program of the terminal shares the same pages and starts without
// copying or relocating anything. It is mapped at the first call that needs ICU's data
// (host::UseIcuData), not at start-up: most of the terminal's processes never do.
//
// The data library's path is fixed at build time (KORVA_ICU_DATA_LIBRARY); without it
// on the host, ICU answers as without data (conversions and locale names fail), and
// nothing else changes.
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstring>
#include <string_view>

namespace {

// What ICU finds when it looks for data linked into the program: a table of contents
// with no entry, as ICU's own stub data library has it. The mapped data comes first.
struct EmptyCommonData {
  uint16_t headerSize;
  uint8_t magic1, magic2;
  UDataInfo info;
  char padding[8];
  uint32_t count, reserved;
  int nameAndData[4];
};

}  // namespace

extern "C" U_EXPORT const EmptyCommonData U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, sizeof(UChar), 0, {0x54, 0x6f, 0x43, 0x50}, {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {0, 0, 0, 0, 0, 0, 0, 0},
    0,
    0,
    {0, 0, 0, 0}};

namespace {

#define KORVA_TEXT(x) #x
#define KORVA_NAME_OF(x) KORVA_TEXT(x)

bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

// The file offset of the data library's entry point, found through its dynamic symbols.
off_t EntryPointOffset(int fd) {
  Elf64_Ehdr header;
  if (!ReadAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr))
    return -1;
  const std::string_view wanted = KORVA_NAME_OF(U_ICUDATA_ENTRY_POINT);
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr symbols;
    if (!ReadAt(fd, &symbols, sizeof symbols, static_cast<off_t>(header.e_shoff + i * sizeof(Elf64_Shdr)))) return -1;
    if (symbols.sh_type != SHT_DYNSYM || symbols.sh_entsize != sizeof(Elf64_Sym)) continue;
    Elf64_Shdr names;
    if (!ReadAt(fd, &names, sizeof names, static_cast<off_t>(header.e_shoff + symbols.sh_link * sizeof(Elf64_Shdr))))
      return -1;
    for (uint64_t s = 0; s < symbols.sh_size / sizeof(Elf64_Sym); ++s) {
      Elf64_Sym symbol;
      char name[64] = {};
      if (!ReadAt(fd, &symbol, sizeof symbol, static_cast<off_t>(symbols.sh_offset + s * sizeof(Elf64_Sym)))) return -1;
      if (symbol.st_name >= names.sh_size || symbol.st_shndx == SHN_UNDEF) continue;
      if (::pread(fd, name, sizeof name - 1, static_cast<off_t>(names.sh_offset + symbol.st_name)) <= 0) continue;
      if (wanted != name) continue;
      // Its address in the loadable segment that holds it, as an offset in the file.
      for (unsigned p = 0; p < header.e_phnum; ++p) {
        Elf64_Phdr segment;
        if (!ReadAt(fd, &segment, sizeof segment, static_cast<off_t>(header.e_phoff + p * sizeof(Elf64_Phdr)))) return -1;
        if (segment.p_type == PT_LOAD && symbol.st_value >= segment.p_vaddr &&
            symbol.st_value < segment.p_vaddr + segment.p_filesz)
          return static_cast<off_t>(segment.p_offset + (symbol.st_value - segment.p_vaddr));
      }
      return -1;
    }
  }
  return -1;
}

}  // namespace

namespace host {

bool MapSharedIcuData() {
  const int fd = ::open(KORVA_ICU_DATA_LIBRARY, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const off_t offset = ::fstat(fd, &st) == 0 ? EntryPointOffset(fd) : -1;
  void* mapped = offset >= 0 && offset < st.st_size
                     ? ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
  ::close(fd);
  if (mapped == MAP_FAILED) return false;
  UErrorCode status = U_ZERO_ERROR;
  udata_setCommonData(static_cast<const char*>(mapped) + offset, &status);
  return U_SUCCESS(status);
}

}  // namespace host

