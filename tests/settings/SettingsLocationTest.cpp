#include "SettingsLocation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "OrdinaryUser.h"
#include "Platform.h"

namespace fs = std::filesystem;

namespace {

TEST(SettingsPath, ReplacesTheFileNamesExtension) {
  EXPECT_EQ(kdt::SettingsPathFor("/opt/kdt/kdt212-panel"), "/opt/kdt/kdt212-panel.ini");
  EXPECT_EQ(kdt::SettingsPathFor("/opt/kdt/panel.exe"), "/opt/kdt/panel.ini");
  EXPECT_EQ(kdt::SettingsPathFor("/opt/kdt.d/panel"), "/opt/kdt.d/panel.ini");
  EXPECT_EQ(kdt::SettingsPathFor("/opt/panel.v2.bin"), "/opt/panel.v2.ini");
  EXPECT_EQ(kdt::SettingsPathFor("panel"), "panel.ini");
}

// An install folder (bin/ with the program) and a home, both temporary; the
// environment points the user's configuration folder into the home.
class SettingsLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kdt-location-XXXXXX";
    root_ = mkdtemp(pattern);
    chmod(root_.c_str(), 0755);  // an ordinary user may look inside
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "home");
    program_ = (root_ / "bin" / "kdt212-panel").string();
    std::ofstream(program_) << "";
    Keep("HOME", home_);
    Keep("XDG_CONFIG_HOME", xdg_);
  }
  void TearDown() override {
    Restore("HOME", home_);
    Restore("XDG_CONFIG_HOME", xdg_);
    fs::remove_all(root_);
  }

  static void Keep(const char* name, std::optional<std::string>& value) {
    const char* now = std::getenv(name);
    if (now != nullptr) value = now;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  // Where an ordinary user's console would keep its settings, and whether
  // that is in the user's configuration folder.
  std::string ChosenByOrdinaryUser(bool& inUserConfig) {
    std::string said;
    inUserConfig = user_.Run(
        [&](std::string& path) {
          const kdt::SettingsLocation location = kdt::ChooseSettingsLocation(program_);
          path = location.path;
          return location.inUserConfig;
        },
        said);
    return said;
  }

  fs::path root_;
  std::string program_;
  testsupport::OrdinaryUser user_;
  std::optional<std::string> home_, xdg_;
};

TEST_F(SettingsLocation, BesideTheProgramWhereTheFolderMayBeWritten) {
  user_.SetFolder((root_ / "bin").string(), true);
  bool inUserConfig = true;
  EXPECT_EQ(ChosenByOrdinaryUser(inUserConfig), program_ + ".ini");
  EXPECT_FALSE(inUserConfig);
}

TEST_F(SettingsLocation, BesideTheProgramWhereTheFileMayBeWritten) {
  const std::string file = program_ + ".ini";
  std::ofstream(file) << "[NETWORK]\n";
  user_.Own(file);
  user_.SetFolder((root_ / "bin").string(), false);
  bool inUserConfig = true;
  EXPECT_EQ(ChosenByOrdinaryUser(inUserConfig), file);
  EXPECT_FALSE(inUserConfig);
}

// A file beside the program that the user may read but not write, in a folder
// the user may not write, is not the user's: a save could not keep it.
TEST_F(SettingsLocation, ReadOnlyFileBesideInAReadOnlyFolderIsNotUsed) {
  std::ofstream(program_ + ".ini") << "[NETWORK]\n";
  chmod((program_ + ".ini").c_str(), 0444);
  user_.SetFolder((root_ / "bin").string(), false);
  setenv("HOME", (root_ / "home").c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  bool inUserConfig = false;
  EXPECT_EQ(ChosenByOrdinaryUser(inUserConfig),
            (root_ / "home/.config/kdt212-panel/kdt212-panel.ini").string());
  EXPECT_TRUE(inUserConfig);
}

// An installed program: neither its folder nor a file beside it may be
// written, so the settings go to the user's configuration folder.
TEST_F(SettingsLocation, InTheUsersConfigurationFolderForAnInstalledProgram) {
  user_.SetFolder((root_ / "bin").string(), false);
  const std::string config = (root_ / "home" / "config").string();
  struct Case {
    const char* xdg;  // nullptr: not set
    std::string expected;
  };
  const Case cases[] = {
      {config.c_str(), config + "/kdt212-panel/kdt212-panel.ini"},
      {nullptr, (root_ / "home" / ".config/kdt212-panel/kdt212-panel.ini").string()},
      {"relative/path", (root_ / "home" / ".config/kdt212-panel/kdt212-panel.ini").string()},
  };
  setenv("HOME", (root_ / "home").c_str(), 1);
  for (const Case& c : cases) {
    if (c.xdg != nullptr) {
      setenv("XDG_CONFIG_HOME", c.xdg, 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
    bool inUserConfig = false;
    EXPECT_EQ(ChosenByOrdinaryUser(inUserConfig), c.expected) << (c.xdg ? c.xdg : "unset");
    EXPECT_TRUE(inUserConfig);
  }
}

// Nothing is ever written among installed programs, not even by root, who
// may write anywhere: a program there keeps its settings in the user's
// configuration folder. The build tree and a portable folder keep theirs
// beside the program. Run as root, the test shows it for the one user who
// could do harm.
TEST_F(SettingsLocation, NeverAmongInstalledProgramsNotEvenForRoot) {
  setenv("HOME", (root_ / "home").c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  fs::create_directory_symlink("/usr/bin", root_ / "linked");
  struct Case {
    std::string program;
    bool inUserConfig;
  };
  const Case cases[] = {
      {"/usr/bin/kdt212-panel", true},
      {"/usr/local/bin/kdt212-panel", true},
      {"/opt/vornex/kdt212-panel", true},
      {"/bin/kdt212-panel", true},
      {"/sbin/kdt212-panel", true},
      {(root_ / "linked" / "kdt212-panel").string(), true},  // /usr/bin through a link
      {program_, false},                                     // a portable folder
  };
  const std::string config = (root_ / "home/.config/kdt212-panel/kdt212-panel.ini").string();
  fs::permissions(root_ / "bin", fs::perms::owner_all);
  for (const Case& c : cases) {
    const kdt::SettingsLocation location = kdt::ChooseSettingsLocation(c.program);
    EXPECT_EQ(location.inUserConfig, c.inUserConfig) << c.program;
    EXPECT_EQ(location.path, c.inUserConfig ? config : kdt::SettingsPathFor(c.program))
        << c.program;
  }
}

TEST(InstalledProgramsFolder, WholeFolderNamesOnly) {
  for (const char* folder : {"/usr", "/usr/bin", "/usr/local/bin", "/opt", "/opt/x", "/bin"})
    EXPECT_TRUE(kdt::IsInstalledProgramsFolder(folder)) << folder;
  for (const char* folder : {"/usrlocal", "/optimal/x", "/binaries", "/home/usr", "/tmp"})
    EXPECT_FALSE(kdt::IsInstalledProgramsFolder(folder)) << folder;
}

TEST_F(SettingsLocation, TheFolderIsMadePrivateToTheUser) {
  const std::string path = (root_ / "home/config/kdt212-panel/kdt212-panel.ini").string();
  ASSERT_TRUE(kdt::MakeSettingsFolder(path));
  ASSERT_TRUE(kdt::MakeSettingsFolder(path));  // already there
  struct stat st {};
  ASSERT_EQ(stat((root_ / "home/config/kdt212-panel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
