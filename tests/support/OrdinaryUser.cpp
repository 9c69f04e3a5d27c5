#include "OrdinaryUser.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {
namespace {

constexpr int kCannotDrop = 2;
constexpr const char* kSetpriv = "/usr/bin/setpriv";  // util-linux: drops privileges, then execs

}  // namespace

OrdinaryUser::OrdinaryUser() : uid_(geteuid()), gid_(getegid()) {
  if (geteuid() != 0) return;
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) std::abort();
  uid_ = nobody->pw_uid;
  gid_ = nobody->pw_gid;
}

void OrdinaryUser::Own(const std::string& path) const {
  if (chown(path.c_str(), uid_, gid_) != 0) std::abort();
}

void OrdinaryUser::SetFolder(const std::string& folder, bool writable) const {
  if (geteuid() == 0 && chown(folder.c_str(), writable ? uid_ : 0, 0) != 0) std::abort();
  chmod(folder.c_str(), writable || geteuid() == 0 ? 0755 : 0555);
}

bool OrdinaryUser::Run(const std::function<bool(std::string& said)>& work,
                       std::string& said) const {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0)) {
      _exit(kCannotDrop);
    }
    std::string text;
    const bool done = work(text);
    if (write(fds[1], text.data(), text.size()) != ssize_t(text.size())) _exit(kCannotDrop);
    _exit(done ? 0 : 1);
  }
  close(fds[1]);
  char buffer[512];
  said.clear();
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    said.append(buffer, std::size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotDrop) {
    std::fprintf(stderr, "could not drop privileges\n");
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::pair<std::string, std::vector<std::string>> OrdinaryUser::Command(
    const std::string& program, const std::vector<std::string>& arguments) const {
  if (geteuid() != 0) return {program, arguments};
  std::vector<std::string> all = {"--reuid=" + std::to_string(uid_),
                                  "--regid=" + std::to_string(gid_), "--clear-groups", program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return {kSetpriv, all};
}

}  // namespace testsupport
