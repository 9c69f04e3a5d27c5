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

bool RewriteInPlace(const std::string& target, std::string_view text) {
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
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
  const bool written =
      fd >= 0 ? ReplaceByRename(target, fd, temporary, text) : RewriteInPlace(target, text);
  if (!written) error = FileErrorText("Cannot create file", path, errno);
  return written;
}

}  // namespace kdt
