// The file channel (unit 1): one file at a time, opened for reading, or written
// through a temporary file that replaces the named file only when complete.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "textio/signals_held.hpp"
#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv {

using namespace textio_internal;

namespace {

enum class Channel { closed, reading, writing };
Channel channel = Channel::closed;

InputUnit& readUnit() {
  static InputUnit unit;
  return unit;
}

// The replacement in progress. Its content goes to an unnamed file (O_TMPFILE) in
// the target's directory, given a name only when complete, so that no ending of
// the process, a kill included, can leave it behind while it is written. Over an
// existing target it needs a temporary name for one system call (a file cannot be
// linked over a name), and a kill between the link and the rename leaves the
// complete file under that name. Where the file system has no unnamed files, a
// named temporary file takes its place, removed by every ending the process sees.
struct Replacement {
  int dirFd = -1;         // the target's directory
  std::string base;       // the target's name in it
  uint64_t reserved = 0;  // bytes set aside on the disk
};

// A file being written through a replacement: the file channel's (slot 0) or a
// ReplacementFile's. The name of the replacement while it has one is kept where a
// signal handler can remove it without allocating.
struct Slot {
  OutputUnit unit;
  Replacement replacement;
  char temporaryName[NAME_MAX + 1] = {};
  volatile std::sig_atomic_t temporaryDirFd = -1;
  volatile std::sig_atomic_t temporaryActive = 0;
  bool inUse = false;
};
// The file channel and up to 256 files opened ahead of their writing (a companion
// per channel); each holds two descriptors.
constexpr int kSlots = 257;
Slot slots[kSlots];

OutputUnit& writeUnit() {
  return slots[0].unit;
}

int32_t openErrorNumber(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kErrFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrPermission;
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
      return kErrFileName;
    default:
      return kErrOpenFailure;
  }
}

// For the file written: a missing directory is an open failure, not a file that
// was looked for and not found.
int32_t outputErrorNumber(int err) {
  const int32_t number = openErrorNumber(err);
  return number == kErrFileNotFound ? kErrOpenFailure : number;
}

bool acceptableName(std::string_view name) {
  return !name.empty() && name.find('\0') == std::string_view::npos;
}

void removeTemporary(Slot& slot) {
  if (!slot.temporaryActive) return;
  slot.temporaryActive = 0;
  ::unlinkat(slot.temporaryDirFd, slot.temporaryName, 0);
}

void closeReading() {
  InputUnit& u = readUnit();
  if (!u.fromMemory && u.fd >= 0) ::close(u.fd);
  u.fd = -1;
  u.fromMemory = false;
  u.memory.clear();
  resetInputBuffers(u);
  channel = Channel::closed;
}

void discardSlot(Slot& slot) {
  OutputUnit& u = slot.unit;
  if (u.fd >= 0) ::close(u.fd);
  u.fd = -1;
  u.pending.clear();
  u.record.clear();
  {
    SignalsHeld held;
    removeTemporary(slot);
  }
  if (slot.replacement.dirFd >= 0) ::close(slot.replacement.dirFd);
  slot.replacement = Replacement{};
  slot.temporaryDirFd = -1;
  slot.inUse = false;
}

void discardWriting() {
  discardSlot(slots[0]);
  channel = Channel::closed;
}

// Refuses the grid's name, as the open of `name` that failed with `err` would.
[[noreturn]] void refuseTarget(std::string_view name, int err) {
  fatalError(err == EACCES || err == EPERM ? kErrPermission : kErrOpenFailure, kFileUnit, name);
}

// The path of the file at the end of the symbolic link `given`, and its status in
// `st`. The kernel follows the link, as it would for a plain rewrite of the name,
// with its protections: where fs.protected_symlinks is on, it refuses a link that
// another user planted in a sticky world-writable directory (a shared /tmp), which
// a resolution of the link's text in user space would follow.
std::string fileBehindLink(const std::string& given, std::string_view name, struct stat& st) {
  int fd;
  do fd = ::open(given.c_str(), O_PATH | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  // A dangling link or a loop is refused like any other file that cannot be
  // opened: a rewrite would not create the file the link names.
  if (fd < 0) refuseTarget(name, errno);
  if (::fstat(fd, &st) != 0) refuseTarget(name, errno);
  // Where the opened file lies: the kernel's own path of it, else (without /proc)
  // the link resolved in user space, which the caller checks is the same file.
  std::string path;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char text[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, text, sizeof text);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof text && text[0] == '/') {
    path.assign(text, static_cast<std::size_t>(n));
  } else if (char* real = ::realpath(given.c_str(), nullptr)) {
    path = real;
    std::free(real);
  } else {
    refuseTarget(name, errno);
  }
  ::close(fd);
  return path;
}

// Finds the file that "name" stands for, as a plain rewrite would reach it: the name
// itself, or the file at the end of its symbolic links. Opens its directory into
// `replacement` and sets `exists` and, for an existing file, `st`. Anything but a
// missing name or a regular file with one link that may be written is refused
// before anything is created.
void locateTarget(Slot& slot, std::string_view name, bool& exists, struct stat& st) {
  Replacement& replacement = slot.replacement;
  const std::string given(name);
  std::string target = given;
  exists = false;
  if (::lstat(given.c_str(), &st) != 0) {
    if (errno != ENOENT) fatalError(outputErrorNumber(errno), kFileUnit, name);
  } else {
    exists = true;
    if (S_ISLNK(st.st_mode)) target = fileBehindLink(given, name, st);
    // A device, a pipe, a directory: no grid is written there.
    if (!S_ISREG(st.st_mode)) fatalError(kErrOpenFailure, kFileUnit, name);
    // Replacing one of several links would split it off from the others.
    if (st.st_nlink > 1) fatalError(kErrOpenFailure, kFileUnit, name);
  }

  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : target.substr(0, slash);
  replacement.base = slash == std::string::npos ? target : target.substr(slash + 1);
  replacement.dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (replacement.dirFd < 0) fatalError(outputErrorNumber(errno), kFileUnit, name);
  slot.temporaryDirFd = replacement.dirFd;
  if (!exists) return;

  // From here on only the directory is used: its entry must be the file examined,
  // not one that took its path meanwhile.
  struct stat there {};
  if (::fstatat(replacement.dirFd, replacement.base.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      there.st_dev != st.st_dev || there.st_ino != st.st_ino)
    fatalError(kErrOpenFailure, kFileUnit, name);
  if (::faccessat(replacement.dirFd, replacement.base.c_str(), W_OK, AT_EACCESS) != 0)
    fatalError(outputErrorNumber(errno), kFileUnit, name);
}

// Creates the replacement in the target's directory: unnamed where the file system
// allows, else under a temporary name of its own. Returns the descriptor.
int createReplacement(Slot& slot, std::string_view finalName) {
  const int dirFd = slot.replacement.dirFd;
  const std::string_view base = slot.replacement.base;
  char* const temporaryName = slot.temporaryName;
  constexpr std::size_t kNameSize = sizeof slot.temporaryName;
  int fd;
  if (unnamedTemporaries) {
    do fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    // Kernels and file systems without unnamed files answer with one of several
    // numbers, and a removed directory with EPERM: the named file that follows
    // either works or fails for the reason a plain open would give.
  }
  const long pid = static_cast<long>(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    if (attempt == 0)
      std::snprintf(suffix, sizeof suffix, ".tmp.%ld", pid);
    else
      std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%d", pid, attempt);
    const std::size_t suffixLen = std::strlen(suffix);
    if (base.size() + suffixLen >= kNameSize) fatalError(kErrFileName, kFileUnit, finalName);
    SignalsHeld held;
    std::memcpy(temporaryName, base.data(), base.size());
    std::memcpy(temporaryName + base.size(), suffix, suffixLen + 1);
    do fd = ::openat(dirFd, temporaryName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      slot.temporaryActive = 1;
      return fd;
    }
    if (errno != EEXIST) fatalError(outputErrorNumber(errno), kFileUnit, finalName);
  }
  fatalError(kErrOpenFailure, kFileUnit, finalName);
}

// Links the unnamed replacement in under `name` in its directory.
bool linkUnnamed(const Replacement& replacement, int fd, const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, path, replacement.dirFd, name, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
  // Without /proc: the descriptor itself (needs the privilege to do so).
  return ::linkat(fd, "", replacement.dirFd, name, AT_EMPTY_PATH) == 0;
}

// Puts the complete replacement in place of the target. The target's name only
// ever names the old file or the new one. Over an existing target the unnamed file
// is linked in under a temporary name and renamed at once: only SIGKILL, between
// the two calls, can leave that name behind.
bool publishReplacement(Slot& slot, int fd) {
  const Replacement& replacement = slot.replacement;
  char* const temporaryName = slot.temporaryName;
  SignalsHeld held;
  if (!slot.temporaryActive) {
    // Unnamed: straight to the final name when that is free, else through a
    // temporary name renamed over it.
    if (linkUnnamed(replacement, fd, replacement.base.c_str())) return true;
    if (errno != EEXIST) return false;
    const long pid = static_cast<long>(::getpid());
    for (int attempt = 0;; ++attempt) {
      if (attempt == 100) return false;
      std::snprintf(temporaryName, sizeof slot.temporaryName, "%.*s.tmp.%ld.%d",
                    static_cast<int>(std::min<std::size_t>(replacement.base.size(), 200)),
                    replacement.base.data(), pid, attempt);
      if (linkUnnamed(replacement, fd, temporaryName)) break;
      if (errno != EEXIST) return false;
    }
    slot.temporaryActive = 1;
  }
  if (::renameat(replacement.dirFd, temporaryName, replacement.dirFd, replacement.base.c_str()) !=
      0)
    return false;
  slot.temporaryActive = 0;
  return true;
}

}  // namespace

InputUnit& fileInput() {
  return readUnit();
}
OutputUnit& fileOutput() {
  return writeUnit();
}

namespace {

// Opens `name` for reading on `u` (unit 1); 0, or the error number.
int32_t openInto(InputUnit& u, std::string_view name) {
  u.number = kFileUnit;
  u.name.assign(name);
  if (!acceptableName(name)) return kErrFileName;
  const std::string path(name);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return openErrorNumber(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return kErrOpenFailure;
  }
  u.fd = fd;
  resetInputBuffers(u);
  return 0;
}

}  // namespace

int32_t openForReading(std::string_view name, bool handleErrors) {
  closeFile();
  const int32_t error = openInto(readUnit(), name);
  if (error == 0) {
    channel = Channel::reading;
    return 0;
  }
  if (!handleErrors) fatalError(error, kFileUnit, name);
  return error;
}

InputFile::InputFile() : unit_(std::make_unique<InputUnit>()) {}

InputFile::~InputFile() {
  if (unit_->fd >= 0) ::close(unit_->fd);
}

int32_t InputFile::open(std::string_view name) {
  if (unit_->fd >= 0) ::close(unit_->fd);
  unit_->fd = -1;
  return openInto(*unit_, name);
}

void rewindFile() {
  if (channel != Channel::reading) return;
  InputUnit& u = readUnit();
  resetInputBuffers(u);
  if (!u.fromMemory && ::lseek(u.fd, 0, SEEK_SET) < 0) fatalError(kErrRead, u.number, u.name);
}

namespace {

// Opens `finalName` for writing through a replacement held in `slot`.
void openSlot(Slot& slot, std::string_view finalName, uint64_t reserveBytes) {
  OutputUnit& u = slot.unit;
  u.number = kFileUnit;
  u.name.assign(finalName);
  u.isConsole = false;
  u.controlMode = false;
  u.failed = false;
  u.pending.clear();
  u.notWrittenBack = 0;
  u.record.clear();
  u.inRecord = false;
  u.anyCharacter = false;
  if (!acceptableName(finalName)) fatalError(kErrFileName, kFileUnit, finalName);

  bool exists = false;
  struct stat st {};
  // From here on every ending of the run discards the replacement.
  slot.inUse = true;
  locateTarget(slot, finalName, exists, st);
  u.fd = createReplacement(slot, finalName);

  if (exists) {
    // The new file gets the old one's owner, group and permissions, as a rewrite
    // would leave them; where the owner cannot be given, the file is refused.
    struct stat own {};
    if (::fstat(u.fd, &own) != 0) fatalError(kErrOpenFailure, kFileUnit, finalName);
    const uid_t uid = own.st_uid == st.st_uid ? static_cast<uid_t>(-1) : st.st_uid;
    const gid_t gid = own.st_gid == st.st_gid ? static_cast<gid_t>(-1) : st.st_gid;
    if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
        ::fchown(u.fd, uid, gid) != 0)
      fatalError(kErrPermission, kFileUnit, finalName);
    if (::fchmod(u.fd, st.st_mode & 07777) != 0) fatalError(kErrPermission, kFileUnit, finalName);
  }

  // Space for the whole file now, so that a full disk is found before the work.
  if (reserveBytes > 0 && reserveBytes <= static_cast<uint64_t>(INT64_MAX)) {
    const int err = ::posix_fallocate(u.fd, 0, static_cast<off_t>(reserveBytes));
    if (err == ENOSPC || err == EDQUOT || err == EFBIG) fatalError(kErrWrite, kFileUnit, finalName);
    if (err == 0) slot.replacement.reserved = reserveBytes;
  }
}

// Runs `background` on a thread of its own, every signal blocked there so that they
// reach the calling thread as before, while `foreground` runs on the calling thread;
// both have ended on return. Without a thread, one after the other.
void overlapped(const std::function<void()>& background, const std::function<void()>& foreground) {
  std::thread helper;
  {
    SignalsHeld held;  // the new thread starts with the mask of its creator
    try {
      helper = std::thread(background);
    } catch (const std::system_error&) {
    }
  }
  if (!helper.joinable()) {
    background();
    foreground();
    return;
  }
  try {
    foreground();
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
}

// Flushes, closes and puts the slot's file in place of its final name; fatal error 38
// when any step fails, the final name keeping its earlier file. `whileFlushing`, when
// given, runs while the bytes go to the disk.
void commitSlot(Slot& slot, const std::function<void()>* whileFlushing = nullptr) {
  OutputUnit& u = slot.unit;
  bool ok = flushFileUnit(u);
  // Space reserved beyond the last byte written is given back, and the bytes go to
  // the disk: the file system may wait for the writing of the data in either.
  const uint64_t reserved = slot.replacement.reserved;
  bool synced = false;
  const std::function<void()> toDisk = [&] {
    if (reserved > 0) {
      const off_t end = ::lseek(u.fd, 0, SEEK_CUR);
      if (end < 0 || (static_cast<uint64_t>(end) != reserved && ::ftruncate(u.fd, end) != 0))
        return;
    }
    synced = ::fsync(u.fd) == 0 || errno == EINVAL || errno == EROFS;
  };
  if (!ok) {
    if (whileFlushing) (*whileFlushing)();
  } else if (whileFlushing) {
    overlapped(toDisk, *whileFlushing);
  } else {
    toDisk();
  }
  ok = ok && synced;
  if (ok) ok = publishReplacement(slot, u.fd);
  if (::close(u.fd) != 0 && errno != EINTR) ok = false;
  u.fd = -1;
  const int32_t number = u.number;
  const std::string name = u.name;
  discardSlot(slot);
  if (!ok) fatalError(kErrWrite, number, name);
}

}  // namespace

void openReplacement(std::string_view finalName, uint64_t reserveBytes) {
  closeFile();
  channel = Channel::writing;
  openSlot(slots[0], finalName, reserveBytes);
}

std::string openReplacementForLibrary(std::string_view finalName) {
  closeFile();
  channel = Channel::writing;
  const bool unnamed = unnamedTemporaries;
  unnamedTemporaries = false;
  openSlot(slots[0], finalName, 0);
  unnamedTemporaries = unnamed;
  const Slot& slot = slots[0];
  return "/proc/self/fd/" + std::to_string(slot.replacement.dirFd) + "/" + slot.temporaryName;
}

void commitFile() {
  if (channel != Channel::writing) return;
  channel = Channel::closed;
  commitSlot(slots[0]);
}

void commitFile(const std::function<void()>& whileFlushing) {
  if (channel != Channel::writing) {
    if (whileFlushing) whileFlushing();
    return;
  }
  channel = Channel::closed;
  commitSlot(slots[0], whileFlushing ? &whileFlushing : nullptr);
}

ReplacementFile::ReplacementFile() = default;

ReplacementFile::~ReplacementFile() {
  if (slot_ > 0) discardSlot(slots[slot_]);
}

void ReplacementFile::open(std::string_view finalName, uint64_t reserveBytes) {
  if (slot_ > 0) discardSlot(slots[slot_]);
  slot_ = 0;
  for (int i = 1; i < kSlots && slot_ == 0; ++i)
    if (!slots[i].inUse) slot_ = i;
  if (slot_ == 0) fatalError(kErrOpenFailure, kFileUnit, finalName);
  openSlot(slots[slot_], finalName, reserveBytes);
}

OutputUnit& ReplacementFile::unit() {
  return slots[slot_].unit;
}

void ReplacementFile::commit() {
  if (slot_ <= 0) return;
  const int slot = slot_;
  slot_ = 0;
  commitSlot(slots[slot]);
}

void closeFile() {
  if (channel == Channel::reading) closeReading();
  if (channel == Channel::writing) discardWriting();
  // A memory source attached by a test is closed like a file.
  if (readUnit().fromMemory) closeReading();
}

namespace textio_internal {

void abandonFileChannel() {
  closeFile();
  for (Slot& slot : slots)
    if (slot.inUse) discardSlot(slot);
}

void removeReplacementTemporaryFromHandler() {
  for (Slot& slot : slots)
    if (slot.temporaryActive) ::unlinkat(slot.temporaryDirFd, slot.temporaryName, 0);
}

bool unnamedTemporaries = true;

void attachFileInput(std::string_view name, std::string_view content) {
  closeFile();
  InputUnit& u = readUnit();
  u.number = kFileUnit;
  u.name.assign(name);
  u.fd = -1;
  resetInputBuffers(u);
  u.fromMemory = true;
  u.memory.assign(content);
  channel = Channel::reading;
}

}  // namespace textio_internal
}  // namespace kelv
