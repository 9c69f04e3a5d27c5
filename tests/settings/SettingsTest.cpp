#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "IniFile.h"
#include "OrdinaryUser.h"
#include "Settings.h"
#include "TextFile.h"
#include "UnitProcIP.h"

namespace fs = std::filesystem;

namespace {

const char* const kFirstRunFile =
    "[WINDOW]\r\nLEFT=100\r\nTOP=100\r\n\r\n"
    "[NETWORK]\r\nADDR=192.168.0.200\r\nAUTO=0\r\n\r\n"
    "[RELAY C]\r\nSYNC=0\r\n\r\n"
    "[RELAY B]\r\nSYNC=0\r\n\r\n"
    "[RELAY A]\r\nSYNC=0\r\n\r\n";

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kdt-settings-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = (dir_ / "kdt212-panel.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteFile(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string FileText() {
    std::string text, error;
    EXPECT_TRUE(kdt::ReadTextFile(path_, text, error)) << error;
    return text;
  }
  kdt::PanelSettings Load() {
    kdt::PanelSettings settings;
    std::string error;
    EXPECT_TRUE(kdt::LoadPanelSettings(path_, settings, error)) << error;
    return settings;
  }
  void Save(const kdt::PanelSettings& settings) {
    std::string error;
    EXPECT_TRUE(kdt::SavePanelSettings(path_, settings, error)) << error;
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(SettingsFile, MissingFileGivesDefaultsAndTheFirstSaveWritesTheKnownFile) {
  kdt::PanelSettings settings = Load();
  EXPECT_EQ(settings.left, 100);
  EXPECT_EQ(settings.top, 100);
  EXPECT_EQ(kdt::IPToStr(settings.address), "192.168.0.200");
  EXPECT_FALSE(settings.autoConnect);
  EXPECT_EQ(settings.sync, (std::array<bool, 3>{}));
  Save(settings);
  EXPECT_EQ(FileText(), kFirstRunFile);
}

TEST_F(SettingsFile, ValuesRoundTrip) {
  kdt::PanelSettings settings;
  settings.left = -5;
  settings.top = 2000;
  settings.address = kdt::StrToIP("127.0.0.9");
  settings.autoConnect = true;
  settings.sync = {false, true, true};
  Save(settings);
  kdt::PanelSettings loaded = Load();
  EXPECT_EQ(loaded.left, -5);
  EXPECT_EQ(loaded.top, 2000);
  EXPECT_EQ(kdt::IPToStr(loaded.address), "127.0.0.9");
  EXPECT_TRUE(loaded.autoConnect);
  EXPECT_EQ(loaded.sync, (std::array<bool, 3>{false, true, true}));
  EXPECT_NE(FileText().find("[RELAY B]\r\nSYNC=1\r\n"), std::string::npos);
}

TEST_F(SettingsFile, ValueFormsAndTheirDefaults) {
  struct Case {
    const char* entry;
    std::int32_t left;
  };
  for (const Case& c : {Case{"LEFT=abc", 100}, Case{"LEFT=0x20", 32}, Case{"LEFT=$20", 32},
                        Case{"LEFT=-5", -5}, Case{"LEFT=", 100}, Case{"LEFT=99999999999", 100},
                        Case{"left = 50", 50}, Case{"LEFT=1 2", 100}}) {
    WriteFile(std::string("[WINDOW]\n") + c.entry + "\n");
    EXPECT_EQ(Load().left, c.left) << c.entry;
  }
  struct BoolCase {
    const char* entry;
    bool value;
  };
  for (const BoolCase& c :
       {BoolCase{"AUTO=2", true}, BoolCase{"AUTO=0x1", true}, BoolCase{"AUTO=-1", true},
        BoolCase{"AUTO=yes", false}, BoolCase{"AUTO=true", false}, BoolCase{"AUTO=0", false}}) {
    WriteFile(std::string("[NETWORK]\r\n") + c.entry + "\r\n");
    EXPECT_EQ(Load().autoConnect, c.value) << c.entry;
  }
}

TEST_F(SettingsFile, BadAddressLoadsAsZeroAndSavesInProperForm) {
  WriteFile("[NETWORK]\nADDR=abc\n");
  kdt::PanelSettings settings = Load();
  EXPECT_EQ(settings.address, 0u);
  Save(settings);
  EXPECT_NE(FileText().find("ADDR=0.0.0.0\r\n"), std::string::npos);
}

TEST_F(SettingsFile, SectionNamesIgnoreCaseAndKeepTheirSpelling) {
  WriteFile("[window]\r\nleft = 50\r\n");
  kdt::PanelSettings settings = Load();
  EXPECT_EQ(settings.left, 50);
  settings.left = 77;
  Save(settings);
  std::string text = FileText();
  EXPECT_EQ(text.rfind("[window]\r\nLEFT=77\r\nTOP=100\r\n\r\n[NETWORK]", 0), 0u) << text;
}

TEST_F(SettingsFile, UnknownSectionsStayInPlaceAndCommentsGo) {
  WriteFile(
      "junk before any section\n"
      "[WINDOW]\n;note\nLEFT=1\n\n"
      "[EXTRA]\nKEY=1\n  spaced = out  \nno equals sign\n"
      "[NETWORK]\r\nAUTO=1\r");
  Save(Load());
  EXPECT_EQ(FileText(),
            "[WINDOW]\r\nLEFT=1\r\nTOP=100\r\n\r\n"
            "[EXTRA]\r\nKEY=1\r\nspaced=out\r\nno equals sign\r\n\r\n"
            "[NETWORK]\r\nAUTO=1\r\nADDR=192.168.0.200\r\n\r\n"
            "[RELAY C]\r\nSYNC=0\r\n\r\n[RELAY B]\r\nSYNC=0\r\n\r\n[RELAY A]\r\nSYNC=0\r\n\r\n");
}

TEST_F(SettingsFile, EditsByAnotherProgramSurviveASave) {
  kdt::PanelSettings settings = Load();
  WriteFile("[NETWORK]\nCOMMENT=kept\nADDR=10.0.0.1\n");
  Save(settings);
  kdt::IniContent ini = kdt::IniContent::Parse(FileText());
  EXPECT_EQ(ini.ReadString("NETWORK", "COMMENT", ""), "kept");
  EXPECT_EQ(ini.ReadString("NETWORK", "ADDR", ""), "192.168.0.200");
}

TEST_F(SettingsFile, UnreadableFileFailsWithTheOpenMessage) {
  fs::create_directory(path_);  // a directory where the file should be; root meets it too
  kdt::PanelSettings settings;
  std::string error;
  EXPECT_FALSE(kdt::LoadPanelSettings(path_, settings, error));
  EXPECT_EQ(error, "Cannot open file \"" + path_ + "\". Is a directory");
  EXPECT_FALSE(kdt::SavePanelSettings(path_, settings, error));
  EXPECT_EQ(error, "Cannot open file \"" + path_ + "\". Is a directory");
}

TEST_F(SettingsFile, FileThatCannotBeReplacedFailsAndStaysAsItWas) {
  WriteFile(kFirstRunFile);
  std::string error;
  // Nothing can be written into a folder that is really a file.
  const std::string blocked = path_ + "/panel.ini";
  EXPECT_FALSE(kdt::WriteTextFile(blocked, "new", error));
  EXPECT_EQ(error, "Cannot create file \"" + blocked + "\". Not a directory");
  // A directory standing where the file should be cannot be replaced by it.
  const std::string directory = (dir_ / "taken.ini").string();
  fs::create_directories(directory + "/inside");
  EXPECT_FALSE(kdt::WriteTextFile(directory, "new", error));
  EXPECT_EQ(error.rfind("Cannot create file \"" + directory + "\". ", 0), 0u) << error;
  EXPECT_TRUE(fs::is_directory(directory + "/inside"));
  EXPECT_EQ(FileText(), kFirstRunFile);
  // No temporary file is left behind.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1);
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The atomic replace needs a file beside the settings file; where the folder
// does not allow one, the file is rewritten in place. What can be written
// neither way fails and stays as it was.
TEST_F(SettingsFile, SavesWhereverAnOrdinaryUserMayWrite) {
  struct Case {
    const char* what;
    bool folderWritable;
    int fileMode;  // 0: no file
    bool saved;
  };
  const Case cases[] = {
      {"a writable file in a folder that is not", false, 0644, true},
      {"no file in a folder that is not writable", false, 0, false},
      {"a write-protected file in a folder that is not writable", false, 0444, false},
      {"a write-protected file in a writable folder", true, 0444, false},
  };
  const testsupport::OrdinaryUser user;
  const std::string kOld = "[EXTRA]\r\nKEY=old\r\n\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(path_);
    if (c.fileMode != 0) {
      WriteFile(kOld);
      user.Own(path_);
      chmod(path_.c_str(), mode_t(c.fileMode));
    }
    user.SetFolder(dir_.string(), c.folderWritable);
    const ino_t before = InodeOf(path_);
    std::string error;
    const bool saved =
        user.Run([&](std::string& said) { return kdt::SavePanelSettings(path_, {}, said); }, error);
    EXPECT_EQ(saved, c.saved) << error;
    user.SetFolder(dir_.string(), true);
    if (c.saved) {
      EXPECT_EQ(InodeOf(path_), before);  // written in place
      EXPECT_EQ(FileText().rfind(kOld + "[WINDOW]\r\nLEFT=100\r\n", 0), 0u) << FileText();
    } else {
      EXPECT_EQ(error, "Cannot create file \"" + path_ + "\". Permission denied");
      EXPECT_EQ(fs::exists(path_) ? FileText() : "", c.fileMode != 0 ? kOld : "");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()),
              c.fileMode != 0 ? 1 : 0);  // no temporary file left behind
  }
}

// Runs `work` in a child process with a mount namespace of its own, on a
// folder that is a tmpfs of `options` ("size=...,nr_inodes=..."), which
// goes with the child. `prepare` runs first, as root; `work` as the
// ordinary user when `asUser`. The test runs as root: a full disk is made,
// not waited for.
bool OnTinyFilesystem(const std::string& options,
                      const std::function<void(const std::string&)>& prepare,
                      const std::function<bool(const std::string&)>& work, bool asUser) {
  const pid_t child = fork();
  if (child == 0) {
    char folder[] = "/tmp/kdt-tiny-XXXXXX";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mkdtemp(folder) == nullptr || mount("tmpfs", folder, "tmpfs", 0, options.c_str()) != 0) {
      _exit(2);
    }
    prepare(folder);
    const testsupport::OrdinaryUser user;
    if (asUser) {
      std::string said;
      const bool done = user.Run([&](std::string&) { return work(folder); }, said);
      umount(folder);
      rmdir(folder);
      _exit(done ? 0 : 1);
    }
    const bool done = work(folder);
    umount(folder);
    rmdir(folder);
    _exit(done ? 0 : 1);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string TextOf(const std::string& path) {
  std::string text, error;
  kdt::ReadTextFile(path, text, error);
  return text;
}

// A disk that is full, or a quota used up, fails the save with its reason,
// and the file stays as it was: never half of it old and half new, and never
// rewritten in place where a file beside it could have been made.
TEST(SettingsFull, AFullDiskFailsTheSaveAndLeavesTheFileAsItWas) {
  const std::string kOld = "[EXTRA]\r\nKEY=old\r\n\r\n";
  const std::string kNew = "[EXTRA]\r\nKEY=" + std::string(6000, 'n') + "\r\n\r\n";
  struct Case {
    const char* what;
    const char* options;
    bool fill;    // the disk's room taken by another file
    bool asUser;  // in a folder the user may not write: in place is the only way
  };
  const Case cases[] = {
      {"no file can be made beside it, though there is room", "size=64k,nr_inodes=2", false, false},
      {"no room for the new text", "size=8k", true, false},
      {"no room for it in place", "size=8k", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto prepare = [&](const std::string& folder) {
      const std::string file = folder + "/kdt212-panel.ini";
      std::ofstream(file, std::ios::binary) << kOld;
      const testsupport::OrdinaryUser user;
      if (c.asUser) {
        user.Own(file);
        user.SetFolder(folder, false);
      }
      if (!c.fill) return;
      std::ofstream filler(folder + "/filler", std::ios::binary);
      const std::string block(1024, 'x');
      for (int i = 0; i < 64 && filler.write(block.data(), std::streamsize(block.size())); ++i) {
      }
    };
    const auto work = [&](const std::string& folder) {
      const std::string file = folder + "/kdt212-panel.ini";
      std::string error;
      const bool saved = kdt::WriteTextFile(file, kNew, error);
      return !saved && error.find("No space left on device") != std::string::npos &&
             TextOf(file) == kOld;
    };
    EXPECT_TRUE(OnTinyFilesystem(c.options, prepare, work, c.asUser));
  }
}

// Two programs saving one file at once (two consoles, kdt212-ini and a
// console) each keep what the other wrote.
TEST_F(SettingsFile, TwoSavingAtOnceLoseNothingOfEachOther) {
  WriteFile(kFirstRunFile);
  constexpr int kSaves = 150;
  const auto saveKeys = [this](const std::string& prefix) {
    for (int i = 0; i < kSaves; ++i) {
      std::string error;
      EXPECT_TRUE(kdt::UpdateTextFile(
          path_,
          [&](const std::string& text) {
            kdt::IniContent ini = kdt::IniContent::Parse(text);
            ini.Write("SAVED", prefix + std::to_string(i), "1");
            return ini.Serialize();
          },
          error))
          << error;
    }
  };
  std::thread first(saveKeys, "A"), second(saveKeys, "B");
  first.join();
  second.join();
  const kdt::IniContent ini = kdt::IniContent::Parse(FileText());
  int kept = 0;
  for (int i = 0; i < kSaves; ++i) {
    kept += ini.Read("SAVED", "A" + std::to_string(i)).has_value();
    kept += ini.Read("SAVED", "B" + std::to_string(i)).has_value();
  }
  EXPECT_EQ(kept, 2 * kSaves);
  EXPECT_EQ(ini.ReadString("NETWORK", "ADDR", ""), "192.168.0.200");
}

// A save replaces the file in one step: a reader never sees a part of it.
TEST_F(SettingsFile, ReplacementIsWholeAndKeepsPermissions) {
  WriteFile(kFirstRunFile);
  chmod(path_.c_str(), 0640);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  const ino_t before = st.st_ino;
  kdt::PanelSettings settings;
  settings.left = 1;
  Save(settings);
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_NE(st.st_ino, before);  // a new file took the old one's place
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(FileText().find("LEFT=1\r\n"), std::string::npos);
}

// A save must not change the process's umask, not even for a moment: a file
// that another thread creates meanwhile would get the wrong permissions.
TEST_F(SettingsFile, NewFileTakesTheUmaskWithoutChangingIt) {
  const mode_t previous = umask(027);
  std::atomic<bool> saving{true};
  std::atomic<int> wrongModes{0};
  std::thread other([&] {
    const std::string probe = (dir_ / "probe").string();
    while (saving) {
      const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
      struct stat st {};
      if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0640) ++wrongModes;
      close(fd);
      unlink(probe.c_str());
    }
  });
  for (int i = 0; i < 2000; ++i) {
    fs::remove(path_);
    Save(kdt::PanelSettings{});
  }
  saving = false;
  other.join();
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(wrongModes, 0);
  EXPECT_EQ(umask(previous), 027u);
}

// A save that was killed mid-way leaves its temporary file behind; the next
// save clears such leftovers, but never a file that another console holds
// while it saves, nor anything that is not this file's temporary.
TEST_F(SettingsFile, LeftoversOfKilledSavesAreRemoved) {
  struct Case {
    const char* name;
    bool old;
    bool held;
    bool kept;
  };
  const Case cases[] = {
      {"kdt212-panel.ini.kdt-saving-Ab12Cd", true, false, false},
      {"kdt212-panel.ini.kdt-saving-Zz99Yy", false, false, true},  // a save just begun
      {"kdt212-panel.ini.kdt-saving-Locked", true, true, true},    // another console saving
      {"kdt212-panel.ini.kdt-saving-Ab12C", true, false, true},
      {"kdt212-panel.ini.kdt-saving-Ab12Cde", true, false, true},
      {"kdt212-panel.ini.kdt-saving-Ab12C-", true, false, true},
      {"other.ini.kdt-saving-Ab12Cd", true, false, true},
      // The user's own files, however much they look like leftovers.
      {"kdt212-panel.ini.backup", true, false, true},
      {"kdt212-panel.ini.bak001", true, false, true},
      {"kdt212-panel.ini.old123", true, false, true},
      {"kdt212-panel.ini.Ab12Cd", true, false, true},
      {"kdt212-panel.ini.bak", true, false, true},
  };
  std::vector<int> held;
  for (const Case& c : cases) {
    const std::string path = (dir_ / c.name).string();
    std::ofstream(path) << "partial";
    if (c.old) {
      const timespec hourAgo{time(nullptr) - 3600, 0};
      const timespec times[2] = {hourAgo, hourAgo};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    if (c.held) {
      held.push_back(open(path.c_str(), O_RDONLY));
      ASSERT_EQ(flock(held.back(), LOCK_EX), 0);
    }
  }
  Save(kdt::PanelSettings{});
  for (const Case& c : cases) EXPECT_EQ(fs::exists(dir_ / c.name), c.kept) << c.name;
  for (int fd : held) close(fd);
}

// The lock is what tells a save in flight from a leftover: whoever opens a
// temporary file that already holds text finds it locked for as long as it
// has its temporary name. (It is locked a moment after it is made, before
// any text is written.)
TEST_F(SettingsFile, TemporaryFileIsLockedUntilItTakesThePlace) {
  std::atomic<bool> saving{true};
  std::atomic<int> seen{0}, unlocked{0};
  std::thread watcher([&] {
    while (saving) {
      for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string path = entry.path().string();
        if (path.find(".kdt-saving-") == std::string::npos) continue;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // it has taken the settings file's place meanwhile
        struct stat held {
        }, named{};
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && held.st_size > 0 &&
            stat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino) {
          ++unlocked;
        }
        ++seen;
        close(fd);
      }
    }
  });
  kdt::PanelSettings settings;
  for (int i = 0; i < 1000 && (seen < 200 || i < 100); ++i) {
    settings.left = i;
    Save(settings);
  }
  saving = false;
  watcher.join();
  EXPECT_EQ(unlocked, 0) << "of " << seen << " temporary files seen";
  EXPECT_GT(seen, 0);  // the watcher did see saves in flight
}

TEST_F(SettingsFile, SaveThroughALinkWritesTheLinkedFile) {
  const fs::path real = dir_ / "real.ini";
  std::ofstream(real) << "[EXTRA]\nKEY=1\n";
  fs::create_symlink(real, path_);
  Save(kdt::PanelSettings{});
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_NE(FileText().find("[EXTRA]\r\nKEY=1\r\n"), std::string::npos);
}
}  // namespace
