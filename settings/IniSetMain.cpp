// kdt212-ini FILE SECTION KEY VALUE [SECTION KEY VALUE]...
// Sets keys of a settings file the way the console writes them, keeping
// everything else in it. Used by the scripts to point the console somewhere.
#include <cstdio>
#include <string>

#include "IniFile.h"
#include "TextFile.h"

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 2) % 3 != 0) {
    std::fputs("usage: kdt212-ini FILE SECTION KEY VALUE [SECTION KEY VALUE]...\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
  std::string error;
  const auto setKeys = [argc, argv](const std::string& text) {
    kdt::IniContent ini = kdt::IniContent::Parse(text);
    for (int i = 2; i + 2 < argc; i += 3) ini.Write(argv[i], argv[i + 1], argv[i + 2]);
    return ini.Serialize();
  };
  if (!kdt::UpdateTextFile(path, setKeys, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
