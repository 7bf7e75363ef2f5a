// The file channel (unit 1): one file at a time, opened for reading, or written
// through a temporary file that replaces the named file only when complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

OutputUnit& writeUnit() {
  static OutputUnit unit;
  return unit;
}

// The temporary file of a replacement in progress, kept where the interrupt
// handler can remove it without allocating.
char temporaryPath[PATH_MAX + 64];
volatile std::sig_atomic_t temporaryActive = 0;
// The path the temporary file is renamed to: the named file, or the file a symbolic
// link of that name points to, so that the link stays and its file gets the content.
std::string replacementTarget;

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

bool acceptableName(std::string_view name) {
  return !name.empty() && name.find('\0') == std::string_view::npos;
}

void removeTemporary() {
  if (!temporaryActive) return;
  temporaryActive = 0;
  ::unlink(temporaryPath);
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

void discardWriting() {
  OutputUnit& u = writeUnit();
  if (u.fd >= 0) ::close(u.fd);
  u.fd = -1;
  u.pending.clear();
  u.record.clear();
  removeTemporary();
  channel = Channel::closed;
}

}  // namespace

InputUnit& fileInput() {
  return readUnit();
}
OutputUnit& fileOutput() {
  return writeUnit();
}

int32_t openForReading(std::string_view name, bool handleErrors) {
  closeFile();
  InputUnit& u = readUnit();
  u.number = kFileUnit;
  u.name.assign(name);
  int32_t error = 0;
  if (!acceptableName(name)) {
    error = kErrFileName;
  } else {
    const std::string path(name);
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      error = openErrorNumber(errno);
    } else {
      struct stat st {};
      if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = kErrOpenFailure;
      } else {
        u.fd = fd;
        resetInputBuffers(u);
        channel = Channel::reading;
        return 0;
      }
    }
  }
  if (!handleErrors) fatalError(error, kFileUnit, name);
  return error;
}

void rewindFile() {
  if (channel != Channel::reading) return;
  InputUnit& u = readUnit();
  resetInputBuffers(u);
  if (!u.fromMemory && ::lseek(u.fd, 0, SEEK_SET) < 0) fatalError(kErrRead, u.number, u.name);
}

void openReplacement(std::string_view finalName) {
  closeFile();
  OutputUnit& u = writeUnit();
  u.number = kFileUnit;
  u.name.assign(finalName);
  u.isConsole = false;
  u.controlMode = false;
  u.failed = false;
  u.pending.clear();
  u.record.clear();
  u.inRecord = false;
  u.anyCharacter = false;
  if (!acceptableName(finalName)) fatalError(kErrFileName, kFileUnit, finalName);

  // An existing file is replaced as a rewrite in place would change it: the same
  // file behind a symbolic link, the same permissions; one that could not be opened
  // for writing (a directory, no write access) fails now, before anything is written.
  replacementTarget.assign(finalName);
  struct stat st {};
  if (::lstat(replacementTarget.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(replacementTarget.c_str(), nullptr)) {
      replacementTarget = real;
      std::free(real);
    }
  }
  const bool exists = ::stat(replacementTarget.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) fatalError(kErrOpenFailure, kFileUnit, finalName);
    if (::access(replacementTarget.c_str(), W_OK) != 0)
      fatalError(openErrorNumber(errno), kFileUnit, finalName);
  }

  const long pid = static_cast<long>(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    if (attempt == 0)
      std::snprintf(suffix, sizeof suffix, ".tmp.%ld", pid);
    else
      std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%d", pid, attempt);
    const std::size_t suffixLen = std::strlen(suffix);
    if (replacementTarget.size() + suffixLen >= sizeof temporaryPath)
      fatalError(kErrFileName, kFileUnit, finalName);
    std::memcpy(temporaryPath, replacementTarget.data(), replacementTarget.size());
    std::memcpy(temporaryPath + replacementTarget.size(), suffix, suffixLen + 1);
    int fd;
    do fd = ::open(temporaryPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      temporaryActive = 1;
      // Keep the permissions of the file being replaced (best effort: a file
      // owned by someone else keeps the new file's default mode).
      if (exists) (void)::fchmod(fd, st.st_mode & 07777);
      u.fd = fd;
      channel = Channel::writing;
      return;
    }
    if (errno != EEXIST) fatalError(openErrorNumber(errno), kFileUnit, finalName);
  }
  fatalError(kErrOpenFailure, kFileUnit, finalName);
}

void commitFile() {
  if (channel != Channel::writing) return;
  OutputUnit& u = writeUnit();
  bool ok = flushFileUnit(u);
  if (ok && ::fsync(u.fd) != 0 && errno != EINVAL && errno != EROFS) ok = false;
  const int fd = u.fd;
  u.fd = -1;
  if (::close(fd) != 0 && errno != EINTR) ok = false;
  if (ok && ::rename(temporaryPath, replacementTarget.c_str()) != 0) ok = false;
  if (!ok) {
    removeTemporary();
    channel = Channel::closed;
    fatalError(kErrWrite, u.number, u.name);
  }
  temporaryActive = 0;
  channel = Channel::closed;
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
}

void removeReplacementTemporaryFromHandler() {
  if (temporaryActive) ::unlink(temporaryPath);
}

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
