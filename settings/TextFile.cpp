#include "TextFile.h"

#include <cerrno>
#include <cstring>

#include "Platform.h"

namespace kdt {
namespace {

std::size_t LastSeparator(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i - 1;
  }
  return std::string::npos;
}

}  // namespace

std::string FileErrorText(const char* what, const std::string& path, int error) {
  return std::string(what) + " \"" + path + "\". " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
  const std::size_t separator = LastSeparator(path);
  if (separator == std::string::npos) return ".";
  return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

std::string FileNameOf(const std::string& path) {
  return path.substr(LastSeparator(path) + 1);  // npos + 1 == 0
}

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  text.clear();
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return true;  // no file yet: every key reads as its default
    error = FileErrorText("Cannot open file", path, errno);
    return false;
  }
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int failure = errno;
  std::fclose(file);
  if (failed) error = FileErrorText("Cannot open file", path, failure);
  return !failed;
}

}  // namespace kdt
