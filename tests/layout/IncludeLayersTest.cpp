// The layers of the source tree, held to by every #include: a folder takes
// from its own files and from the folders below it, never from one above;
// the programs (the console, kdt212ctl, the simulated unit, the bridge)
// share only what lies below all of them; inside the bridge, the faces
// (endpoint, MQTT, the page) know the core and never each other. No
// include, between folders or between files, comes back round to where it
// began. A folder that is not in the table below fails the test until it is
// given its place.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Place {
  std::string program;  // empty: shared by every program
  int rank;             // a folder takes from those of lower rank only
};

// Each folder's place, the lowest first.
const std::map<std::string, Place> kPlaces = {
    {"platform", {"", 0}},
    {"text", {"", 0}},
    {"net", {"", 1}},
    {"device", {"", 2}},
    {"settings", {"", 3}},
    {"sim", {"sim", 10}},
    {"cli", {"cli", 10}},
    {"app", {"app", 10}},
    {"bridge/config", {"bridge", 10}},
    {"bridge/core", {"bridge", 11}},
    {"bridge/json", {"bridge", 12}},
    {"bridge/listen", {"bridge", 12}},
    {"bridge/endpoint", {"bridge", 13}},
    {"bridge/mqtt", {"bridge", 13}},
    {"bridge/web", {"bridge", 13}},
    {"bridge/router", {"bridge", 13}},
    {"bridge/videohub", {"bridge", 14}},
    {"bridge/swp08", {"bridge", 14}},
    {"bridge", {"bridge", 15}},  // the composition root and the program
};

// Where an include without a folder of its own is looked for: each
// library's include folder.
const char* const kIncludeRoots[] = {"platform", "text", "net", "device", "settings",
                                     "sim",      "cli",  "app", "bridge"};

const fs::path kSource = KDT_SOURCE_DIR;

std::string FolderOf(const fs::path& file) {
  return fs::relative(file.parent_path(), kSource).generic_string();
}

std::vector<fs::path> SourceFiles() {
  std::vector<fs::path> files;
  for (const auto& [folder, place] : kPlaces) {
    for (const auto& entry : fs::directory_iterator(kSource / folder)) {
      const std::string extension = entry.path().extension().string();
      if (entry.is_regular_file() && (extension == ".h" || extension == ".cpp")) {
        files.push_back(entry.path());
      }
    }
  }
  return files;
}

// The project's file that `#include "name"` in `from` reads, if any.
std::optional<fs::path> Resolve(const fs::path& from, const std::string& name) {
  if (fs::exists(from.parent_path() / name)) return fs::canonical(from.parent_path() / name);
  for (const char* root : kIncludeRoots) {
    if (fs::exists(kSource / root / name)) return fs::canonical(kSource / root / name);
  }
  if (name == "Version.h") return fs::canonical(kSource / "platform/Version.h.in");  // generated
  return std::nullopt;
}

std::map<fs::path, std::vector<fs::path>> Includes() {
  static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
  std::map<fs::path, std::vector<fs::path>> graph;
  for (const fs::path& file : SourceFiles()) {
    std::ifstream in(file);
    std::vector<fs::path>& includes = graph[fs::canonical(file)];
    for (std::string line; std::getline(in, line);) {
      std::smatch match;
      if (!std::regex_search(line, match, include)) continue;
      if (const auto target = Resolve(file, match[1])) includes.push_back(*target);
    }
  }
  return graph;
}

bool MayInclude(const std::string& from, const std::string& to) {
  if (from == to) return true;
  const Place& a = kPlaces.at(from);
  const Place& b = kPlaces.at(to);
  if (!b.program.empty() && b.program != a.program) return false;
  return b.rank < a.rank;
}

TEST(IncludeLayers, EveryFolderHasItsPlace) {
  for (auto entry = fs::recursive_directory_iterator(kSource);
       entry != fs::recursive_directory_iterator(); ++entry) {
    const std::string name = entry->path().filename().string();
    if (entry.depth() == 0 && entry->is_directory() &&
        (name == "tests" || name == "bench" || name == "build" || name.starts_with("."))) {
      entry.disable_recursion_pending();  // not the program's own
      continue;
    }
    const std::string folder = FolderOf(entry->path());
    const std::string extension = entry->path().extension().string();
    if (entry->is_regular_file() && (extension == ".h" || extension == ".cpp")) {
      EXPECT_EQ(kPlaces.count(folder), 1u) << entry->path() << " is in no layer";
    }
  }
}

TEST(IncludeLayers, NoneUpwardNoneAcross) {
  for (const auto& [file, includes] : Includes()) {
    for (const fs::path& target : includes) {
      const std::string from = FolderOf(file), to = FolderOf(target);
      EXPECT_TRUE(kPlaces.count(to) == 1 && MayInclude(from, to))
          << fs::relative(file, kSource) << " includes " << fs::relative(target, kSource);
    }
  }
}

// Depth first, with the files on the way: one met again on the way is a
// circle.
bool FindCircle(const std::map<fs::path, std::vector<fs::path>>& graph, const fs::path& file,
                std::vector<fs::path>& way, std::set<fs::path>& done) {
  if (done.count(file) != 0) return false;
  if (std::find(way.begin(), way.end(), file) != way.end()) {
    way.push_back(file);
    return true;
  }
  way.push_back(file);
  const auto found = graph.find(file);
  if (found != graph.end()) {
    for (const fs::path& next : found->second) {
      if (FindCircle(graph, next, way, done)) return true;
    }
  }
  way.pop_back();
  done.insert(file);
  return false;
}

TEST(IncludeLayers, NoCircleBetweenFiles) {
  const auto graph = Includes();
  std::set<fs::path> done;
  for (const auto& [file, includes] : graph) {
    std::vector<fs::path> way;
    if (!FindCircle(graph, file, way, done)) continue;
    std::string circle;
    for (const fs::path& step : way) circle += fs::relative(step, kSource).string() + " -> ";
    ADD_FAILURE() << "a circle: " << circle;
    return;
  }
}

// The table is worth as much as its check: an include that climbs is seen.
TEST(IncludeLayers, TheRuleRefusesWhatItShould) {
  EXPECT_TRUE(MayInclude("bridge/web", "bridge/core"));
  EXPECT_TRUE(MayInclude("bridge/core", "device"));
  EXPECT_FALSE(MayInclude("bridge/core", "bridge/web"));  // upward
  EXPECT_FALSE(MayInclude("bridge/web", "bridge/mqtt"));  // across faces
  EXPECT_FALSE(MayInclude("device", "settings"));         // upward
  EXPECT_FALSE(MayInclude("cli", "app"));                 // across programs
  EXPECT_FALSE(MayInclude("bridge/config", "sim"));       // another program's
}

}  // namespace
