// The INI text and the file reading below it, as every program (and Windows
// builds) use them.
#include "IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TextFile.h"

namespace fs = std::filesystem;

namespace {

std::string Utf8Path(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

TEST(IniContent, LineEndsOfEveryKindAndDuplicateKeys) {
  kdt::IniContent ini = kdt::IniContent::Parse("[A]\rX=1\r\nY=2\nX=3\n[B]\n=5\n");
  EXPECT_EQ(ini.ReadString("a", "x", ""), "1");  // the first of two
  EXPECT_EQ(ini.ReadString("A", "Y", ""), "2");
  EXPECT_FALSE(ini.Read("B", "").has_value());  // an entry without a name
  ini.Write("a", "x", "9");
  EXPECT_EQ(ini.Serialize(), "[A]\r\nx=9\r\nY=2\r\nX=3\r\n\r\n[B]\r\n=5\r\n\r\n");
}

TEST(IniContent, KeepsEightBitText) {
  const std::string name = "\xC0\xE1\xE2\xFF";
  kdt::IniContent ini = kdt::IniContent::Parse("[S]\nK=" + name + "\n");
  EXPECT_EQ(ini.ReadString("S", "K", ""), name);
  EXPECT_EQ(kdt::IniContent::Parse(ini.Serialize()), ini);
}

TEST(TextFile, FolderAndFileNameOfAPath) {
  struct Case {
    std::string path, folder, name;
  };
  const Case cases[] = {
      {"/opt/kdt/kdt212-panel.ini", "/opt/kdt", "kdt212-panel.ini"},
      {"/kdt212-panel.ini", "/", "kdt212-panel.ini"},
      {"kdt212-panel.ini", ".", "kdt212-panel.ini"},
      {"build/app/", "build/app", ""},
#ifdef _WIN32
      {"C:\\Program Files\\KDT\\kdt212ctl.exe", "C:\\Program Files\\KDT", "kdt212ctl.exe"},
      {"C:\\Users\\op/AppData\\x.ini", "C:\\Users\\op/AppData", "x.ini"},
#endif
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kdt::FolderOf(c.path), c.folder) << c.path;
    EXPECT_EQ(kdt::FileNameOf(c.path), c.name) << c.path;
  }
}

// The path is UTF-8 on every platform: a user's folder may well be named in
// Cyrillic.
TEST(TextFile, ReadsAWholeFileByItsUtf8PathAndAMissingOneAsEmpty) {
  const fs::path folder = fs::temp_directory_path() / fs::path(u8"kdt-пульт");
  fs::create_directories(folder);
  const std::string path = Utf8Path(folder / "panel.ini");
  const std::string content = std::string(5000, 'x') + "\r\n[NETWORK]\r\nADDR=127.0.0.1\r\n";
  std::ofstream(folder / "panel.ini", std::ios::binary) << content;
  std::string text, error;
  EXPECT_TRUE(kdt::ReadTextFile(path, text, error)) << error;
  EXPECT_EQ(text, content);
  EXPECT_TRUE(kdt::ReadTextFile(Utf8Path(folder / "none.ini"), text, error)) << error;
  EXPECT_EQ(text, "");
  fs::remove_all(folder);
}

// A folder in the file's place cannot be read: the operator's message says
// which file.
TEST(TextFile, AFileThatCannotBeReadGivesTheOpenMessage) {
  const fs::path folder = fs::temp_directory_path() / "kdt-read-folder.ini";
  fs::create_directories(folder);
  std::string text, error;
  EXPECT_FALSE(kdt::ReadTextFile(folder.string(), text, error));
  EXPECT_EQ(error.rfind("Cannot open file \"" + folder.string() + "\". ", 0), 0u) << error;
  fs::remove_all(folder);
}

}  // namespace
