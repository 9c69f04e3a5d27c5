// What an ordinary user meets, for tests that run as root, which may write
// anything: work is run in a child process that drops to nobody. Run by
// anyone else, the child keeps that user's rights.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class OrdinaryUser {
 public:
  OrdinaryUser();

  // Hands a file or folder to the user.
  void Own(const std::string& path) const;
  // A folder the user may enter, and write into or not.
  void SetFolder(const std::string& folder, bool writable) const;

  // Runs `work` with the user's rights, in a child process, and returns what
  // it returned, or false when the rights could not be dropped. `said` gets
  // the text the work put in its argument.
  bool Run(const std::function<bool(std::string& said)>& work, std::string& said) const;

  // A program and its arguments as the user runs them: behind setpriv,
  // which drops to the user and then runs it, when run by root.
  std::pair<std::string, std::vector<std::string>> Command(
      const std::string& program, const std::vector<std::string>& arguments) const;

 private:
  uid_t uid_;
  gid_t gid_;
};

}  // namespace testsupport
