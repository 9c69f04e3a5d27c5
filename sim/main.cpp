// kdt212-sim: a simulated KDT-212 unit for trying and testing the console
// without hardware. Commands on standard input act as the unit's front panel.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PanelCommands.h"
#include "Platform.h"
#include "SimUnit.h"
#include "TcpSockets.h"
#include "Version.h"

namespace {

struct ScriptStep {
  int atMs = 0;
  std::string command;
};

struct Arguments {
  sim::SimOptions options;
  std::vector<std::string> locks;
  std::vector<ScriptStep> script;
  bool help = false;
  bool version = false;
};

std::mutex outputMutex;

void Print(std::FILE* to, const std::string& text) {
  std::lock_guard lock(outputMutex);
  std::fprintf(to, "%s\n", text.c_str());
  std::fflush(to);
}

void LogLine(const std::string& line) {
  Print(stderr, kdt::TimeText(kdt::LocalTimeNow(), "%H:%M:%S") + " kdt212-sim: " + line);
}

const char* const kHelp =
    "Usage: kdt212-sim [--address A] [--port P] [--fault KIND [--after N]] [--delay MS]\n"
    "                  [--model N] [--lock R]... [--script \"MS:COMMAND;MS:COMMAND...\"]\n"
    "                  [--log-polls] [--help] [--version]\n"
    "A simulated VORNEX KDT-212 unit. Listens on 127.0.0.1:10001 by default.\n"
    "Faults: none, silent, close, bad-length, bad-checksum, partial; each starts\n"
    "after --after good replies on a connection. --script runs front-panel\n"
    "commands at the given milliseconds after start. Lines on standard input act\n"
    "as the unit's front panel (help lists them).\n";

bool ParseScript(const std::string& text, std::vector<ScriptStep>& steps) {
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ';')) {
    std::size_t colon = item.find(':');
    ScriptStep step;
    if (colon == std::string::npos || !sim::ParseNumber(item.substr(0, colon), step.atMs))
      return false;
    step.command = item.substr(colon + 1);
    steps.push_back(step);
  }
  return true;
}

// False with a one-line reason.
bool ParseArguments(const std::vector<std::string>& argv, Arguments& args, std::string& problem) {
  const std::size_t argc = argv.size();
  for (std::size_t i = 0; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      args.help = true;
      return true;
    }
    if (flag == "--version") {
      args.version = true;
      return true;
    }
    if (flag == "--log-polls") {
      args.options.logPolls = true;
      continue;
    }
    if (i + 1 >= argc) {
      problem = flag.starts_with("--") ? flag + " needs a value" : "unexpected '" + flag + "'";
      return false;
    }
    std::string value = argv[++i];
    int number = 0;
    if (flag == "--address") {
      args.options.address = value;
    } else if (flag == "--port" && sim::ParseNumber(value, number) && number >= 0 &&
               number <= 65535) {
      args.options.port = static_cast<std::uint16_t>(number);
    } else if (flag == "--fault" && sim::ParseFault(value, args.options.fault)) {
    } else if (flag == "--after" && sim::ParseNumber(value, args.options.faultAfter)) {
    } else if (flag == "--delay" && sim::ParseNumber(value, args.options.delayMs)) {
    } else if (flag == "--model" && sim::ParseNumber(value, number) && number >= 0 &&
               number <= 255) {
      args.options.model = static_cast<std::uint8_t>(number);
    } else if (flag == "--lock") {
      args.locks.push_back(value);
    } else if (flag == "--script" && ParseScript(value, args.script)) {
    } else {
      problem = "cannot take " + flag + " '" + value + "'";
      return false;
    }
  }
  return true;
}

void RunCommand(sim::SimUnit& unit, const std::string& line) {
  std::string reply;
  bool ok = sim::RunPanelCommand(unit, line, reply);
  Print(ok ? stdout : stderr, reply);
}

void RunScript(sim::SimUnit& unit, const std::vector<ScriptStep>& steps,
               const std::atomic<bool>& quit) {
  auto start = std::chrono::steady_clock::now();
  for (const ScriptStep& step : steps) {
    while (!quit &&
           std::chrono::steady_clock::now() - start < std::chrono::milliseconds(step.atMs)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (quit) return;
    LogLine("front panel: " + step.command);
    RunCommand(unit, step.command);
  }
}

// Reads front-panel commands until end of input or until the program ends;
// "quit" ends the program. It waits in short polls rather than in a blocking
// read, so that it can be joined before the unit goes.
void ReadConsole(sim::SimUnit& unit, const std::atomic<bool>& quit) {
  constexpr int kPollMs = 50;
  std::string pending;
  char chunk[512];
  while (!quit) {
    if (!kdt::StdinReadable(kPollMs)) continue;
    const long n = kdt::ReadStdin(chunk, sizeof chunk);
    if (n <= 0) return;  // end of input: the unit serves on
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      // A Windows console ends its lines with CR LF.
      const std::size_t length = end > 0 && pending[end - 1] == '\r' ? end - 1 : end;
      const std::string line = pending.substr(0, length);
      pending.erase(0, end + 1);
      if (line == "quit") {
        kdt::RequestTermination();
        return;
      }
      if (!line.empty()) RunCommand(unit, line);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  kdt::UseUtf8Console();
  Arguments args;
  std::string problem;
  if (!ParseArguments(kdt::ProgramArguments(argc, argv), args, problem)) {
    std::fprintf(stderr, "kdt212-sim: %s; kdt212-sim --help tells more\n", problem.c_str());
    return 2;
  }
  if (args.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.version) {
    std::printf("kdt212-sim %s\n", kdt::kVersion);
    return 0;
  }
  kdt::PrepareTermination();
  tcp::SockStartup();

  sim::SimUnit unit(args.options, LogLine);
  for (const std::string& relay : args.locks) RunCommand(unit, "lock " + relay + " on");
  std::string error;
  if (!unit.Start(error)) {
    LogLine(error);
    return 1;
  }
  if (args.options.fault != sim::Fault::kNone) {
    LogLine(std::string("fault mode: ") + sim::FaultName(args.options.fault) + " after " +
            std::to_string(args.options.faultAfter) + " good replies on each connection");
  }
  std::atomic<bool> quit{false};
  std::thread script(RunScript, std::ref(unit), std::cref(args.script), std::cref(quit));
  std::thread console(ReadConsole, std::ref(unit), std::cref(quit));

  kdt::WaitForTermination();
  LogLine("stopping");
  quit = true;
  script.join();
  console.join();
  unit.Stop();
  tcp::SockCleanup();
  return 0;
}
