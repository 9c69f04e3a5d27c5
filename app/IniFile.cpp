#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "UnitProcIP.h"

namespace kdt {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view EntryName(std::string_view entry) {
  std::size_t eq = entry.find('=');
  return eq == std::string_view::npos ? std::string_view() : entry.substr(0, eq);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string NormalisedEntry(std::string_view line) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::string(line);
  return std::string(TrimBlanks(line.substr(0, eq))) + "=" +
         std::string(TrimBlanks(line.substr(eq + 1)));
}

std::string ErrorText(const char* what, const std::string& path, int error) {
  return std::string(what) + " \"" + path + "\". " + std::strerror(error);
}

// A settings file reached through a link is written where the link points.
std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
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

}  // namespace

IniContent IniContent::Parse(std::string_view text) {
  IniContent content;
  for (std::string_view raw : SplitLines(text)) {
    std::string_view line = TrimBlanks(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      content.sections_.push_back({std::string(TrimBlanks(line.substr(1, line.size() - 2))), {}});
    } else if (!content.sections_.empty()) {
      content.sections_.back().entries.push_back(NormalisedEntry(line));
    }
  }
  return content;
}

std::string IniContent::Serialize() const {
  std::string text;
  for (const Section& section : sections_) {
    text += "[" + section.name + "]\r\n";
    for (const std::string& entry : section.entries) text += entry + "\r\n";
    text += "\r\n";
  }
  return text;
}

IniContent::Section* IniContent::Find(std::string_view section) {
  for (Section& s : sections_) {
    if (SameName(s.name, section)) return &s;
  }
  return nullptr;
}

const IniContent::Section* IniContent::Find(std::string_view section) const {
  return const_cast<IniContent*>(this)->Find(section);
}

std::optional<std::string> IniContent::Read(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (s == nullptr) return std::nullopt;
  for (const std::string& entry : s->entries) {
    std::string_view name = EntryName(entry);
    if (!name.empty() && SameName(name, key)) return entry.substr(name.size() + 1);
  }
  return std::nullopt;
}

void IniContent::Write(std::string_view section, std::string_view key, std::string_view value) {
  Section* s = Find(section);
  if (s == nullptr) {
    sections_.push_back({std::string(section), {}});
    s = &sections_.back();
  }
  std::string entry = std::string(key) + "=" + std::string(value);
  for (std::string& existing : s->entries) {
    std::string_view name = EntryName(existing);
    if (!name.empty() && SameName(name, key)) {
      existing = entry;
      return;
    }
  }
  s->entries.push_back(entry);
}

std::int32_t IniContent::ReadInteger(std::string_view section, std::string_view key,
                                     std::int32_t defaultValue) const {
  std::optional<std::string> text = Read(section, key);
  std::int32_t value = 0;
  return text && ParseWholeNumber(*text, value) ? value : defaultValue;
}

bool IniContent::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::string IniContent::ReadString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
  return Read(section, key).value_or(std::string(defaultValue));
}

void IniContent::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  Write(section, key, std::to_string(value));
}

void IniContent::WriteBool(std::string_view section, std::string_view key, bool value) {
  Write(section, key, value ? "1" : "0");
}

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  text.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // no file yet: every key reads as its default
    error = ErrorText("Cannot open file", path, errno);
    return false;
  }
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = ErrorText("Cannot open file", path, errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, std::size_t(n));
  }
  close(fd);
  return true;
}

bool WriteTextFile(const std::string& path, std::string_view text, std::string& error) {
  const std::string target = ResolvedPath(path);
  // Replacing by rename would ignore a write-protected file; it stays as it is.
  if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) {
    error = ErrorText("Cannot create file", path, errno);
    return false;
  }
  std::string temporary = target + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    error = ErrorText("Cannot create file", path, errno);
    return false;
  }
  // The new file keeps the old one's permissions, or gets the usual ones.
  struct stat old {};
  mode_t mode = 0666;
  if (stat(target.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  bool written = fchmod(fd, mode) == 0 && WriteWhole(fd, text) && fsync(fd) == 0;
  int failure = written ? 0 : errno;
  if (close(fd) != 0 && written) {
    written = false;
    failure = errno;
  }
  if (written && rename(temporary.c_str(), target.c_str()) == 0) return true;
  if (written) failure = errno;
  unlink(temporary.c_str());
  error = ErrorText("Cannot create file", path, failure);
  return false;
}

}  // namespace kdt
