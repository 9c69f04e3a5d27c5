#include "config/FileAccess.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bridge {
namespace {

// What the service's unit hides with ProtectHome=yes.
constexpr const char* kHiddenFolders[] = {"/home/", "/root/", "/run/user/"};

std::string ErrorText(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

// access(R_OK) with the user's rights, in a child that takes them: the
// system itself judges, with every folder on the way, groups and ACLs.
int ReadErrorAs(const passwd& user, const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped = initgroups(user.pw_name, user.pw_gid) == 0 && setgid(user.pw_gid) == 0 &&
                         setuid(user.pw_uid) == 0;
    _exit(!dropped ? 255 : access(path.c_str(), R_OK) == 0 ? 0 : errno);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return EAGAIN;
  return WEXITSTATUS(status) == 255 ? EPERM : WEXITSTATUS(status);
}

// A device or a pipe could be read for ever, or never end a line.
bool IsPlainFile(const std::string& path, std::string& reason) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
  reason = "'" + path + "' is not a file";
  return false;
}

}  // namespace

FileAccess FileAccess::OwnRights() {
  return FileAccess();
}

FileAccess FileAccess::AsService(const std::string& user) {
  FileAccess access;
  access.user_ = user;
  access.sandboxed_ = true;
  return access;
}

bool FileAccess::MayRead(const std::string& path, std::string& reason) const {
  if (sandboxed_) {
    for (const char* hidden : kHiddenFolders) {
      if (path.starts_with(hidden)) {
        reason = "the service cannot see '" + path + "': its unit's ProtectHome= hides " +
                 std::string(hidden, std::strlen(hidden) - 1) + "; keep it below /etc/kdt212";
        return false;
      }
    }
  }
  int error = 0;
  const passwd* user = user_.empty() ? nullptr : getpwnam(user_.c_str());
  if (!user_.empty() && user == nullptr) {
    reason = "no user " + user_ + " to judge '" + path + "' with";
    return false;
  }
  if (user != nullptr) {
    error = ReadErrorAs(*user, path);
  } else if (access(path.c_str(), R_OK) != 0) {
    error = errno;
  }
  if (error == 0) return IsPlainFile(path, reason);
  reason =
      "cannot read '" + path + "': " + ErrorText(error) + (user_.empty() ? "" : " for " + user_);
  return false;
}

std::string DefaultCheckUser() {
  return geteuid() == 0 && getpwnam(kServiceUser) != nullptr ? kServiceUser : "";
}

}  // namespace bridge
