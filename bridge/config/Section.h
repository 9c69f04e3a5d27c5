// One section of the bridge's file, read by the table of its keys: each key
// with the reader of its value and whether the section needs it. The table
// alone says what is refused: a key it does not have (the message lists the
// ones it has), a key given twice, a line that is no KEY=VALUE, a value its
// reader refuses, a key the section needs and does not have. Every section
// is read this way: the units', the salvos', [BRIDGE]'s and each face's.
// Free of Qt.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "IniFile.h"
#include "config/FileAccess.h"
#include "config/IniDialect.h"

namespace bridge {

// The first fault of the file and every warning, each with its file and
// line, and the eyes that judge the files it names.
class Checker {
 public:
  Checker(std::string path, const FileAccess& files, std::vector<std::string>& warnings)
      : path_(std::move(path)), files_(files), warnings_(warnings) {}

  // The first fault is kept; false, so that a reader may end with it.
  bool Fail(int line, const std::string& reason);
  // A fault of another file that this one names, with its own name and line.
  bool FailElsewhere(const std::string& problem);
  void Warn(int line, const std::string& text);
  bool Failed() const { return !problem_.empty(); }
  const std::string& Problem() const { return problem_; }
  const FileAccess& Files() const { return files_; }

 private:
  std::string At(int line) const { return path_ + ":" + std::to_string(line) + ": "; }

  std::string path_;
  const FileAccess& files_;
  std::vector<std::string>& warnings_;
  std::string problem_;
};

using SectionView = kdt::IniContent::SectionView;

// Where a value stands: its key as written, its line, and the checker, for
// a reader that judges a file it names or warns.
struct KeyLine {
  std::string_view key;
  int line = 0;
  Checker& checker;
};

// A key of sections whose settings are a `Settings`.
template <typename Settings>
struct Key {
  std::string_view name;
  // Takes the value into the settings; false with the reason in words, a
  // line that begins with the key's name ("PORT: a port from 1 to 65535").
  std::function<bool(std::string_view value, Settings& settings, KeyLine at, std::string& reason)>
      read;
  bool required = false;
  // Keys of a form rather than a name (a salvo's UNIT.RELAY), or a name that
  // is refused rather than taken: whether a key is one. Such keys are not
  // listed among the keys the section takes. Unset, the key is `name` in
  // any case.
  std::function<bool(std::string_view key)> matches = nullptr;
};

template <typename Settings>
using KeyTable = std::vector<Key<Settings>>;

namespace section {

// What the reading of every section shares, whatever its table.
class Entries {
 public:
  Entries(const SectionView& section, Checker& checker) : section_(section), checker_(checker) {}
  // Calls `read` with each entry in turn; false at the first fault, which
  // the checker keeps.
  bool Each(const std::function<bool(const kdt::IniContent::Entry&)>& read);
  bool Unknown(const kdt::IniContent::Entry& entry, const std::vector<std::string_view>& known);
  // `who` needs the key but has not got it: "[HTTP] needs LISTEN".
  bool Missing(const std::string& who, std::string_view key);

 private:
  const SectionView& section_;
  Checker& checker_;
};

}  // namespace section

// Reads the section's entries into `settings` by the table. `who` names the
// section in the message for a key that it needs: "[HTTP]", "unit studio".
template <typename Settings>
bool ReadSection(const SectionView& section, const KeyTable<Settings>& keys, const std::string& who,
                 Settings& settings, Checker& checker) {
  std::vector<std::string_view> names;
  for (const Key<Settings>& key : keys) {
    if (!key.matches) names.push_back(key.name);
  }
  std::vector<bool> given(keys.size(), false);
  section::Entries entries(section, checker);
  const bool read = entries.Each([&](const kdt::IniContent::Entry& entry) {
    std::size_t key = 0;
    while (key < keys.size() && !(keys[key].matches ? keys[key].matches(entry.name)
                                                    : SameName(keys[key].name, entry.name))) {
      ++key;
    }
    if (key == keys.size()) return entries.Unknown(entry, names);
    given[key] = true;
    std::string reason;
    return keys[key].read(entry.value, settings, KeyLine{entry.name, entry.line, checker},
                          reason) ||
           checker.Fail(entry.line, reason);
  });
  if (!read) return false;
  for (std::size_t key = 0; key < keys.size(); ++key) {
    if (keys[key].required && !given[key]) return entries.Missing(who, keys[key].name);
  }
  return true;
}

}  // namespace bridge
