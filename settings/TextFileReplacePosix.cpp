// Replacing the settings file on POSIX systems: a locked temporary file beside
// it, renamed into its place.
#include "TextFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <random>
#include <thread>

namespace kdt {
namespace {

// A save's temporary file: the settings file's name, this marker and six
// random letters or digits. It sorts beside the file, and no person names a
// file so, so that a leftover can be told from a file of the user's.
constexpr std::string_view kTemporaryMarker = ".kdt-saving-";
constexpr std::size_t kTemporarySuffixLength = 6;
constexpr int kTemporaryAttempts = 100;
// A temporary file is locked by its writer from a moment after it is made
// until it has taken the settings file's place. One that nobody holds and
// that is older than this was left by a save that never finished.
constexpr std::chrono::seconds kStaleAfter{10};

// A settings file reached through a link is written where the link points.
std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool IsSuffixCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsTemporaryFileOf(std::string_view name, std::string_view settingsName) {
  const std::size_t prefixLength = settingsName.size() + kTemporaryMarker.size();
  if (name.size() != prefixLength + kTemporarySuffixLength || !name.starts_with(settingsName) ||
      name.substr(settingsName.size(), kTemporaryMarker.size()) != kTemporaryMarker) {
    return false;
  }
  for (char c : name.substr(prefixLength)) {
    if (!IsSuffixCharacter(c)) return false;
  }
  return true;
}

bool IsStale(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
  return std::chrono::system_clock::now() - modified > kStaleAfter &&
         flock(fd, LOCK_EX | LOCK_NB) == 0;
}

void RemoveStaleTemporaries(const std::string& target) {
  const std::string folder = FolderOf(target), name = FileNameOf(target);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (!IsTemporaryFileOf(entry->d_name, name)) continue;
    const std::string path = folder + "/" + entry->d_name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (IsStale(fd)) unlink(path.c_str());
    close(fd);
  }
  closedir(dir);
}

// Makes a new, locked temporary file beside the target. Its mode is the
// usual one for a new file, so the kernel applies the process's umask.
int CreateTemporary(const std::string& target, std::string& temporary) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    temporary = target + std::string(kTemporaryMarker);
    for (std::size_t i = 0; i < kTemporarySuffixLength; ++i) temporary += kAlphabet[pick(random)];
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      flock(fd, LOCK_EX);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool WriteWhole(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(std::size_t(n));
  }
  return true;
}

bool ReplaceByRename(const std::string& target, int fd, const std::string& temporary,
                     std::string_view text) {
  struct stat old {};
  bool written = (stat(target.c_str(), &old) != 0 || fchmod(fd, old.st_mode & 07777) == 0) &&
                 WriteWhole(fd, text) && fsync(fd) == 0;
  // The rename comes before the close, so that the lock is held until the
  // file has taken its place.
  written = written && rename(temporary.c_str(), target.c_str()) == 0;
  const int failure = errno;
  if (!written) unlink(temporary.c_str());
  close(fd);
  errno = failure;
  return written;
}

// Only where no file can be made beside it. The room for the new text is
// taken first, so that a full disk fails before the old text is touched.
bool RewriteInPlace(const std::string& target, std::string_view text) {
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const int reserved = text.empty() ? 0 : posix_fallocate(fd, 0, off_t(text.size()));
  if (reserved != 0) {
    close(fd);
    errno = reserved;
    return false;
  }
  const bool written =
      WriteWhole(fd, text) && ftruncate(fd, off_t(text.size())) == 0 && fsync(fd) == 0;
  const int failure = errno;
  if (close(fd) != 0 && written) return false;  // with close's reason
  errno = failure;
  return written;
}

}  // namespace

bool WriteTextFile(const std::string& path, std::string_view text, std::string& error) {
  const std::string target = ResolvedPath(path);
  // Replacing by rename would ignore a write-protected file; it stays as it is.
  if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) {
    error = FileErrorText("Cannot create file", path, errno);
    return false;
  }
  RemoveStaleTemporaries(target);
  std::string temporary;
  const int fd = CreateTemporary(target, temporary);
  // In place only where the user may write the file but not its folder: a
  // full disk or a quota fails, and the file stays as it was.
  const bool written = fd >= 0 ? ReplaceByRename(target, fd, temporary, text)
                       : errno == EACCES || errno == EPERM ? RewriteInPlace(target, text)
                                                           : false;
  if (!written) error = FileErrorText("Cannot create file", path, errno);
  return written;
}

namespace {

// How long a save waits for another program's save of the same file.
constexpr std::chrono::seconds kLockWait{3};
constexpr std::chrono::milliseconds kLockSlice{10};

// A lock taken and given back with its descriptor.
class FileLock {
 public:
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  // The lock of the file, or, while there is none, of its folder: whoever
  // makes the file holds the folder's. False, with errno, when it cannot be
  // had in time.
  bool Take(const std::string& target) {
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
      const bool exists = access(target.c_str(), F_OK) == 0;
      const std::string locked = exists ? target : FolderOf(target);
      fd_ = open(locked.c_str(), O_RDONLY | O_CLOEXEC | (exists ? 0 : O_DIRECTORY));
      // Nothing to lock that this user may open: the save goes on as it
      // always could; a file that came or went meanwhile is looked at again.
      if (fd_ < 0 && errno == EACCES) return true;
      if (fd_ < 0) {
        if (errno != ENOENT || !WaitSlice(deadline)) return false;
        continue;
      }
      while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || !WaitSlice(deadline)) return false;
      }
      // The file may have been replaced, or made, while this waited: the
      // lock must be the one that whoever comes next takes.
      if (StillTheOne(target, exists)) return true;
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  bool StillTheOne(const std::string& target, bool exists) const {
    struct stat held {
    }, now{};
    if (!exists) return access(target.c_str(), F_OK) != 0;
    return fstat(fd_, &held) == 0 && stat(target.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
           held.st_ino == now.st_ino;
  }
  // False, with errno, once the time is up.
  static bool WaitSlice(std::chrono::steady_clock::time_point deadline) {
    if (std::chrono::steady_clock::now() > deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    std::this_thread::sleep_for(kLockSlice);
    return true;
  }

  int fd_ = -1;
};

}  // namespace

bool UpdateTextFile(const std::string& path, const std::function<std::string(std::string)>& change,
                    std::string& error) {
  const std::string target = ResolvedPath(path);
  FileLock lock;
  if (!lock.Take(target)) {
    error = FileErrorText("Cannot create file", path, errno);
    return false;
  }
  std::string text;
  return ReadTextFile(path, text, error) && WriteTextFile(path, change(std::move(text)), error);
}

}  // namespace kdt
