// Whose eyes judge the files that the bridge's configuration names (a
// password file, a CA): the running program's own, or, for --check, those
// of the service as systemd starts it: its user (_kdt212, unless told), and
// its sandbox, whose ProtectHome= hides /home, /root and /run/user. A file
// that root may read but the service may not would pass a check and then
// stop the service at its start.
#pragma once

#include <string>

namespace bridge {

// The user that the package's service runs as.
constexpr const char* kServiceUser = "_kdt212";

class FileAccess {
 public:
  // As this program reads them.
  static FileAccess OwnRights();
  // As the service reads them: with the rights of `user`, or of this
  // program when `user` is empty.
  static FileAccess AsService(const std::string& user);

  // False with the reason in words: "cannot read '/x': permission denied
  // for _kdt212", "... the service cannot see it: ProtectHome= hides /home".
  bool MayRead(const std::string& path, std::string& reason) const;

 private:
  std::string user_;
  bool sandboxed_ = false;
};

// The user that --check judges with by default: the service's, when the
// program runs as root and that user exists; else nobody in particular
// (empty), and the program's own rights judge.
std::string DefaultCheckUser();

}  // namespace bridge
