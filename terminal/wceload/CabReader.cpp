// Reading the cabinet with libmspack, whose file access goes through the CE file API
// (so the cabinet is found inside the terminal's fs/ like any CE program's file), and
// whose output goes to memory: nothing reaches the terminal before every member has
// been decompressed and checked.
#include "platform/host/Image.h"
#include "terminal/wceload/Installer.h"

#include <mspack.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace wceload {

namespace {

using Clock = std::chrono::steady_clock;

// The names the library is given to open: it passes them back to the system's open().
constexpr const char* kCabinetToken = "cabinet";
constexpr const char* kMemberToken = "member";

// What the system callbacks share for one cabinet.
struct ReadContext {
  std::u16string cabPath;
  std::string* target = nullptr;  // the member being extracted
  size_t targetCapacity = 0;      // its stated length: the library may write no more
  Clock::time_point deadline;
  bool timedOut = false;
  DWORD openError = 0;
};

// The library hands `base` back to every call; standard layout makes the cast sound.
struct CeSystem {
  mspack_system base;
  ReadContext* context;
};

// An open file of the library: the cabinet through a CE handle, or the memory of the
// member being extracted.
struct OpenFile {
  ReadContext* context;
  HANDLE handle;
  std::string* sink;
};

ReadContext* ContextOf(mspack_system* self) { return reinterpret_cast<CeSystem*>(self)->context; }
OpenFile* FileOf(mspack_file* file) { return reinterpret_cast<OpenFile*>(file); }

// Past the deadline every read and write fails, which makes the library give up.
bool Expired(ReadContext* context) {
  if (Clock::now() < context->deadline) return false;
  context->timedOut = true;
  return true;
}

mspack_file* Open(mspack_system* self, const char* filename, int mode) {
  ReadContext* context = ContextOf(self);
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string* sink = nullptr;
  if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(filename, kCabinetToken) == 0) {
    handle = CreateFileW(context->cabPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      context->openError = GetLastError();
      return nullptr;
    }
  } else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kMemberToken) == 0 && context->target) {
    sink = context->target;
  } else {
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(new OpenFile{context, handle, sink});
}

void Close(mspack_file* file) {
  OpenFile* open = FileOf(file);
  if (open->handle != INVALID_HANDLE_VALUE) CloseHandle(open->handle);
  delete open;
}

int Read(mspack_file* file, void* buffer, int bytes) {
  OpenFile* open = FileOf(file);
  if (open->handle == INVALID_HANDLE_VALUE || bytes < 0 || Expired(open->context)) return -1;
  DWORD read = 0;
  if (!ReadFile(open->handle, buffer, static_cast<DWORD>(bytes), &read, nullptr)) return -1;
  return static_cast<int>(read);
}

int Write(mspack_file* file, void* buffer, int bytes) {
  OpenFile* open = FileOf(file);
  if (!open->sink || bytes < 0 || Expired(open->context)) return -1;
  if (open->sink->size() + static_cast<size_t>(bytes) > open->context->targetCapacity) return -1;
  open->sink->append(static_cast<const char*>(buffer), static_cast<size_t>(bytes));
  return bytes;
}

int Seek(mspack_file* file, off_t offset, int mode) {
  OpenFile* open = FileOf(file);
  if (open->handle == INVALID_HANDLE_VALUE) return -1;
  const DWORD method = mode == MSPACK_SYS_SEEK_START ? FILE_BEGIN : mode == MSPACK_SYS_SEEK_CUR ? FILE_CURRENT : FILE_END;
  const auto distance = static_cast<int64_t>(offset);
  LONG high = static_cast<LONG>(distance >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(open->handle, static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
  return low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR ? -1 : 0;
}

off_t Tell(mspack_file* file) {
  OpenFile* open = FileOf(file);
  if (open->handle == INVALID_HANDLE_VALUE) return static_cast<off_t>(open->sink ? open->sink->size() : 0);
  LONG high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(open->handle, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return static_cast<off_t>((static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low);
}

// The library's warnings about a damaged cabinet come back as the error of the call.
void Message(mspack_file*, const char*, ...) {}
void* Alloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void Free(void* pointer) { std::free(pointer); }
void Copy(void* source, void* destination, size_t bytes) { std::memmove(destination, source, bytes); }

const char* ErrorText(int error) {
  switch (error) {
    case MSPACK_ERR_OPEN: return "cannot be opened";
    case MSPACK_ERR_READ: return "truncated or unreadable";
    case MSPACK_ERR_WRITE: return "member longer than stated";
    case MSPACK_ERR_SEEK: return "seek error";
    case MSPACK_ERR_NOMEMORY: return "out of memory";
    case MSPACK_ERR_SIGNATURE: return "not a cabinet";
    case MSPACK_ERR_DATAFORMAT: return "damaged cabinet";
    case MSPACK_ERR_CHECKSUM: return "checksum error";
    case MSPACK_ERR_DECRUNCH: return "damaged compressed data";
    default: return "cannot be read";
  }
}

// Ends the process when decompression runs past the deadline without touching its input
// or output (a decoder caught in a loop); nothing has been written by then. A timer's
// signal rather than a thread that waits: starting a thread costs more than reading a
// small cabinet. Only what is safe in a signal handler is done there, so the process
// does not record its own end: the program that started it records the exit code.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds after) {
    struct sigaction expiry {};
    expiry.sa_handler = Expire;
    sigemptyset(&expiry.sa_mask);
    ::sigaction(SIGALRM, &expiry, &previous_);
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(after.count());
    ::setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~Watchdog() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous_, nullptr);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static void Expire(int) {
    static constexpr char kMessage[] = "wceload: the cabinet takes too long to decompress\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(kDamaged);
  }

  struct sigaction previous_ {};
};

struct DecompressorDeleter {
  void operator()(mscab_decompressor* decompressor) const { mspack_destroy_cab_decompressor(decompressor); }
};

// Checks the stated sizes against the limits before anything is decompressed.
bool WithinLimits(const mscabd_cabinet* cabinet, std::vector<const mscabd_file*>* files, std::string* why) {
  uint64_t total = 0;
  for (const mscabd_file* file = cabinet->files; file; file = file->next) {
    if (files->size() == kMaxMembers) {
      *why = "more than " + std::to_string(kMaxMembers) + " members";
      return false;
    }
    total += file->length;
    // The offset bounds what the library decompresses and discards before the member.
    if (total > kMaxTotalBytes || uint64_t{file->offset} + file->length > kMaxTotalBytes) {
      *why = "members larger than " + std::to_string(kMaxTotalBytes >> 20) + " MiB";
      return false;
    }
    files->push_back(file);
  }
  return true;
}

// Members in folder and offset order, so that the library decompresses each folder once.
std::vector<size_t> ExtractionOrder(const mscabd_cabinet* cabinet, const std::vector<const mscabd_file*>& files) {
  std::map<const mscabd_folder*, size_t> folderIndex;
  for (const mscabd_folder* folder = cabinet->folders; folder; folder = folder->next) {
    folderIndex.emplace(folder, folderIndex.size());
  }
  auto key = [&](size_t i) { return std::make_pair(folderIndex[files[i]->folder], files[i]->offset); };
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
  return order;
}

// The member's date and time (as stored, local to whoever made the cabinet) as a
// FILETIME read as UTC: days from 1601 by the civil calendar, then 100 ns ticks.
uint64_t MemberTime(const mscabd_file& file) {
  const int64_t year = file.date_y, month = file.date_m, day = file.date_d;
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t unixDays = era * 146097 + dayOfEra - 719468;
  const int64_t seconds = unixDays * 86400 + file.time_h * 3600 + file.time_m * 60 + file.time_s;
  constexpr int64_t kUnixEpochTicks = 116444736000000000;
  return static_cast<uint64_t>(seconds * 10000000 + kUnixEpochTicks);
}

// Why the cabinet did not open, and the exit code that says so.
ExitCode OpenFailure(mscab_decompressor* decompressor, const ReadContext& context, std::string* why) {
  if (context.timedOut) {
    *why = "takes more than " + std::to_string(kMaxReadSeconds) + " seconds to read";
    return kDamaged;
  }
  const int error = decompressor->last_error(decompressor);
  if (error == MSPACK_ERR_OPEN) {
    *why = "cannot be opened" + Because(context.openError);
    return kCannotOpen;
  }
  *why = ErrorText(error);
  return kDamaged;
}

// Decompresses every member of the open cabinet into `members`, in the cabinet's order.
ExitCode ExtractMembers(mscab_decompressor* decompressor, const mscabd_cabinet* cabinet, ReadContext& context,
                        std::vector<Member>* members, std::string* why) {
  std::vector<const mscabd_file*> files;
  if (!WithinLimits(cabinet, &files, why)) return kDamaged;
  members->assign(files.size(), Member{});
  for (size_t index : ExtractionOrder(cabinet, files)) {
    const mscabd_file* file = files[index];
    Member& member = (*members)[index];
    member.rawName = file->filename;
    member.utf8Name = (file->attribs & MSCAB_ATTRIB_UTF_NAME) != 0;
    member.writeTime = MemberTime(*file);
    member.data.reserve(file->length);
    context.target = &member.data;
    context.targetCapacity = file->length;
    const int error = decompressor->extract(decompressor, const_cast<mscabd_file*>(file), kMemberToken);
    context.target = nullptr;
    if (context.timedOut) {
      *why = "takes more than " + std::to_string(kMaxReadSeconds) + " seconds to decompress";
      return kDamaged;
    }
    if (error != MSPACK_ERR_OK || member.data.size() != file->length) {
      *why = "member " + std::to_string(index + 1) + ": " + (error != MSPACK_ERR_OK ? ErrorText(error) : "short data");
      return kDamaged;
    }
  }
  return kInstalled;
}

}  // namespace

std::string Because(DWORD error) {
  const std::string code = "(error " + std::to_string(error) + ")";
  if (error != ERROR_DISK_FULL && error != ERROR_NOT_ENOUGH_MEMORY) return " " + code;
  return (host::LastFullWasHost() ? ": the host's storage is full " : ": the terminal's storage is full ") + code;
}

ExitCode ReadCabinet(const std::u16string& cabPath, std::vector<Member>* members, std::string* why) {
  int selfTest = MSPACK_ERR_OK;
  MSPACK_SYS_SELFTEST(selfTest);
  if (selfTest != MSPACK_ERR_OK) {
    *why = "libmspack was built with another off_t";
    return kDamaged;
  }
  ReadContext context;
  context.cabPath = cabPath;
  context.deadline = Clock::now() + std::chrono::seconds(kMaxReadSeconds);
  CeSystem system{{Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr}, &context};
  std::unique_ptr<mscab_decompressor, DecompressorDeleter> decompressor(mspack_create_cab_decompressor(&system.base));
  if (!decompressor) {
    *why = "cannot create the decompressor";
    return kDamaged;
  }
  Watchdog watchdog(std::chrono::seconds(kMaxReadSeconds + 5));
  mscabd_cabinet* cabinet = decompressor->open(decompressor.get(), kCabinetToken);
  if (!cabinet) return OpenFailure(decompressor.get(), context, why);
  auto closeCabinet = [&](mscabd_cabinet* c) { decompressor->close(decompressor.get(), c); };
  std::unique_ptr<mscabd_cabinet, decltype(closeCabinet)> cabinetGuard(cabinet, closeCabinet);
  return ExtractMembers(decompressor.get(), cabinet, context, members, why);
}

}  // namespace wceload
