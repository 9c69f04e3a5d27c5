// kdt212-bridge: holds each unit's session and shares it with every client.
#include <signal.h>

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <utility>

#include "Bridge.h"
#include "CommandLine.h"
#include "Faces.h"
#include "Platform.h"
#include "SignalWatcher.h"
#include "TcpSockets.h"
#include "UnitThread.h"
#include "Version.h"
#include "core/Log.h"
#include "mqtt/MqttClient.h"
#include "web/Users.h"

namespace {

constexpr int kUsageExit = 2;

int Refuse(const std::string& problem) {
  std::fprintf(stderr, "kdt212-bridge: %s\n", problem.c_str());
  return kUsageExit;
}

int Check(const bridge::BridgeConfig& config, const std::string& path) {
  if (config.units.empty())
    std::printf("%s: no units: the bridge connects nowhere\n", path.c_str());
  if (const int needed = bridge::DescriptorsNeeded(config);
      needed > bridge::kServiceDescriptorLimit) {
    std::printf(
        "%s: its clients may take %d descriptors, more than the service's LimitNOFILE=%d: "
        "raise it in a drop-in (systemctl edit kdt212-bridge), or lower MAXCLIENTS\n",
        path.c_str(), needed, bridge::kServiceDescriptorLimit);
  }
  std::fputs(bridge::Describe(config).c_str(), stdout);
  return 0;
}

int Serve(const bridge::BridgeConfig& config, const bridge::CommandLine& line, int argc,
          char** argv) {
  tcp::SockStartup();
  {
    QCoreApplication app(argc, argv);
    bridge::MqttLibrary mqtt;
    kdt::UnitThreadStartup();
    {
      bridge::Bridge bridge(line.config, line.verbose);
      // SIGHUP reloads; SIGTERM and SIGINT end the loop, and the units' goodbyes
      // follow it. One that comes again meanwhile changes nothing: a unit's
      // goodbye is never cut short.
      bool ending = false;
      kdt::SignalWatcher watcher({}, {SIGTERM, SIGINT, SIGHUP}, [&](int signal) {
        if (signal == SIGHUP) {
          if (!ending) bridge.Reload();
        } else if (!std::exchange(ending, true)) {
          bridge::Log("ending on SIG" + std::string(sigabbrev_np(signal)));
          QCoreApplication::quit();
        }
      });
      bridge::Log(std::string("kdt212-bridge ") + kdt::kVersion + " serving " + line.config);
      bridge.Apply(config);
      QCoreApplication::exec();
      bridge.StopAll();
    }
    kdt::UnitThreadShutdown();
  }
  tcp::SockCleanup();
  return 0;
}

// A password from standard input, its line end not part of it, as the
// users file's hash.
int Hash() {
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return Refuse("--hash needs a password: one line on standard input");
  const std::string hash = bridge::HashPassword(password);
  if (hash.empty()) {
    std::fprintf(stderr, "kdt212-bridge: this system cannot make a yescrypt hash\n");
    return 1;
  }
  std::printf("%s\n", hash.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bridge::CommandLine line =
      bridge::ReadCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case bridge::CommandLine::Action::kHelp:
      std::fputs(bridge::HelpText().c_str(), stdout);
      return 0;
    case bridge::CommandLine::Action::kVersion:
      std::printf("kdt212-bridge %s\n", kdt::kVersion);
      return 0;
    case bridge::CommandLine::Action::kRefuse:
      return Refuse(line.problem + "; kdt212-bridge --help tells more");
    case bridge::CommandLine::Action::kHash:
      return Hash();
    default:
      break;
  }
  const bool check = line.action == bridge::CommandLine::Action::kCheck;
  const bridge::FileAccess files =
      check ? bridge::FileAccess::AsService(line.checkUser.empty() ? bridge::DefaultCheckUser()
                                                                   : line.checkUser)
            : bridge::FileAccess::OwnRights();
  bridge::BridgeConfig config;
  std::string problem;
  if (!bridge::ReadConfig(line.config, config, problem, files)) return Refuse(problem);
  if (check) {
    for (const std::string& warning : config.warnings) {
      std::fprintf(stderr, "kdt212-bridge: warning: %s\n", warning.c_str());
    }
    return Check(config, line.config);
  }
  return Serve(config, line, argc, argv);
}
