// The bridge's configuration, read without running anything: the units,
// the salvos and every face's part of it.
#include "config/BridgeConfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "Faces.h"
#include "UnitProcIP.h"
#include "mqtt/MqttSection.h"
#include "web/WebSection.h"

namespace {

TEST(BridgeConfig, EveryKeyWithCommentsAfterValuesAndHeaders) {
  const std::string text =
      "; the bridge's units\n"
      "[UNIT studio]            ; one section per unit\n"
      "ADDR=192.168.0.200       ; the unit's address\n"
      "PORT=10002\n"
      "INTERVAL=10\n"
      "LISTEN=127.0.0.1:20001\n"
      "ALLOW=127.0.0.0/8, 192.168.1.77, 10.1.0.0/16\n"
      "MAXCLIENTS=4\n"
      "\n"
      "[unit hall-2_b]\r\n"
      "addr = 010.0.0.$0A\r\n";
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig(text, "bridge.ini", config, problem)) << problem;
  ASSERT_EQ(config.units.size(), 2u);
  const bridge::UnitConfig& studio = config.units[0];
  EXPECT_EQ(studio.id, "studio");
  EXPECT_EQ(kdt::IPToStr(studio.address), "192.168.0.200");
  EXPECT_EQ(studio.port, 10002);
  EXPECT_EQ(studio.intervalMs, 10u);
  ASSERT_TRUE(studio.FaceAddress("LISTEN").has_value());
  EXPECT_EQ(bridge::EndpointText(*studio.FaceAddress("LISTEN")), "127.0.0.1:20001");
  ASSERT_EQ(studio.allow.size(), 3u);
  EXPECT_EQ(bridge::CidrText(studio.allow[1]), "192.168.1.77/32");
  EXPECT_EQ(bridge::CidrText(studio.allow[2]), "10.1.0.0/16");
  EXPECT_EQ(studio.maxClients, 4);
  const bridge::UnitConfig& hall = config.units[1];
  EXPECT_EQ(hall.id, "hall-2_b");
  EXPECT_EQ(kdt::IPToStr(hall.address), "10.0.0.10");  // the console's address rules
  EXPECT_EQ(hall.port, 10001);
  EXPECT_EQ(hall.intervalMs, 10u);  // a bridge's own pace: a change seen within a blink
  EXPECT_FALSE(hall.FaceAddress("LISTEN").has_value());
  ASSERT_EQ(hall.allow.size(), 1u);
  EXPECT_EQ(bridge::CidrText(hall.allow[0]), "127.0.0.0/8");  // loopback unless given
  EXPECT_EQ(hall.maxClients, 16);
}

// The router faces' keys: where each listens, what the sources are called
// (24 characters, not bytes), and what a router client may do.
TEST(BridgeConfig, RouterFacesAndSourceLabels) {
  const std::string text =
      "[UNIT studio]\nADDR=10.0.0.1\nVIDEOHUB=127.0.0.1\nSWP08=127.0.0.1:2008\n"
      "INPUT1=\xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0 1 \xE2\x80\x94 "
      "\xD1\x81\xD1\x82\xD1\x83\xD0\xB4\xD0\xB8\xD1\x8F \xE2\x84\x96 12\n"
      "ROUTER_ROLE=Admin\n"
      "[UNIT hall]\nADDR=10.0.0.2\n";
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig(text, "f", config, problem)) << problem;
  const bridge::UnitConfig& studio = config.units[0];
  EXPECT_EQ(bridge::EndpointText(*studio.FaceAddress("VIDEOHUB")), "127.0.0.1:9990");
  EXPECT_EQ(bridge::EndpointText(*studio.FaceAddress("SWP08")), "127.0.0.1:2008");
  EXPECT_EQ(studio.InputLabel(1),
            "\xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0 1 \xE2\x80\x94 "
            "\xD1\x81\xD1\x82\xD1\x83\xD0\xB4\xD0\xB8\xD1\x8F \xE2\x84\x96 12");
  EXPECT_EQ(studio.InputLabel(2), "INPUT 2");
  EXPECT_EQ(studio.routerRole, bridge::RouterRole::kAdmin);
  EXPECT_EQ(config.units[1].routerRole, bridge::RouterRole::kOperate);
  EXPECT_NE(bridge::Describe(config).find("9990 text protocol on 127.0.0.1:9990, SW-P-08 on "
                                          "127.0.0.1:2008"),
            std::string::npos)
      << bridge::Describe(config);
  bridge::UnitConfig relabelled = studio;
  relabelled.inputLabels[1] = "Camera 2";
  relabelled.routerRole = bridge::RouterRole::kView;
  EXPECT_EQ(bridge::ChangesText(studio, relabelled),
            "INPUT2 'INPUT 2' -> 'Camera 2', ROUTER_ROLE admin -> view");
}

TEST(BridgeConfig, NoUnitsIsAConfigurationThatConnectsNowhere) {
  bridge::BridgeConfig config;
  std::string problem;
  EXPECT_TRUE(bridge::ParseConfig("; nothing yet\n", "bridge.ini", config, problem));
  EXPECT_TRUE(config.units.empty());
}

TEST(BridgeConfig, FaultsAreRefusedWithTheirLine) {
  struct Case {
    std::string text;
    std::string problem;
  };
  const std::string unit = "[UNIT a]\nADDR=10.0.0.1\n";
  const Case cases[] = {
      {"ADDR=10.0.0.1\n[UNIT a]\nADDR=10.0.0.1\n", "bridge.ini:1: a line before the first section"},
      {"[UNITS]\n", "bridge.ini:1: unknown section [UNITS]"},
      {"[MQTTX]\nHOST=x\n", "bridge.ini:1: unknown section [MQTTX]"},
      {"[UNIT]\nADDR=10.0.0.1\n", "bridge.ini:1: [UNIT] needs an id: [UNIT name]"},
      {"[UNIT a.b]\nADDR=10.0.0.1\n", "bridge.ini:1: a unit's id is letters, digits"},
      {"[UNIT a]\nPORT=10001\n", "bridge.ini:1: unit a needs ADDR"},
      {"[UNIT a]\nADDR=300.0.0.1\n", "bridge.ini:2: ADDR: not a unit's IPv4 address: '300.0.0.1'"},
      {"[UNIT a]\nADDR=0.0.0.0\n", "bridge.ini:2: ADDR: not a unit's IPv4 address"},
      {unit + "PORT=0\n", "bridge.ini:3: PORT: a port from 1 to 65535, not '0'"},
      {unit + "PORT=65536\n", "bridge.ini:3: PORT: a port from 1 to 65535"},
      {unit + "INTERVAL=-1\n", "bridge.ini:3: INTERVAL: milliseconds from 0 to 60000"},
      {unit + "INTERVAL=60001\n", "bridge.ini:3: INTERVAL: milliseconds from 0 to 60000"},
      {unit + "LISTEN=127.0.0.1\n", "bridge.ini:3: LISTEN: an address and a port"},
      {unit + "LISTEN=127.0.0.1:0\n", "bridge.ini:3: LISTEN: an address and a port"},
      {unit + "LISTEN=127.0.0.1:1\nALLOW=127.0.0.0/33\n", "bridge.ini:4: ALLOW: networks such as"},
      {unit + "LISTEN=127.0.0.1:1\nALLOW=\n", "bridge.ini:4: ALLOW: networks such as"},
      {unit + "LISTEN=127.0.0.1:1\nALLOW=127.0.0.1,\n", "bridge.ini:4: ALLOW: networks such"},
      {unit + "LISTEN=127.0.0.1:1\nMAXCLIENTS=0\n",
       "bridge.ini:4: MAXCLIENTS: from 1 to 1024, not '0'"},
      {unit + "LISTEN=127.0.0.1:1\nMAXCLIENTS=1025\n", "bridge.ini:4: MAXCLIENTS: from 1 to 1024"},
      {unit + "SPEED=9600\n", "bridge.ini:3: unknown key SPEED"},
      {unit + "just words\n", "bridge.ini:3: not a KEY=VALUE line"},
      {unit + "PORT=1\nport=2\n", "bridge.ini:4: port given twice (first at line 3)"},
      {unit + "\n[UNIT A]\nADDR=10.0.0.2\n", "bridge.ini:4: unit A given twice (first at line 1)"},
      {unit + "LISTEN=127.0.0.1:20001\n[UNIT b]\nADDR=10.0.0.2\nLISTEN=127.0.0.1:20001\n",
       "bridge.ini:4: LISTEN 127.0.0.1:20001 is unit a's already"},
      {unit + "LISTEN=0.0.0.0:20001\n[UNIT b]\nADDR=10.0.0.2\nLISTEN=127.0.0.1:20001\n",
       "bridge.ini:4: LISTEN 127.0.0.1:20001 is unit a's already"},
      {"[UNIT bridge]\nADDR=10.0.0.1\n", "bridge.ini:1: 'bridge' names the bridge's own"},
      {"[UNIT Salvo]\nADDR=10.0.0.1\n", "bridge.ini:1: 'salvo' names the bridge's own"},
      {"[MQTT]\nHOST=\n", "bridge.ini:2: HOST: the broker's address or name"},
      {"[MQTT]\nPORT=0\n", "bridge.ini:2: PORT: a port from 1 to 65535, not '0'"},
      {"[MQTT]\nTOPIC=kdt/#\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nTOPIC=/kdt\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nTOPIC=\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nDISCOVERY=ha/+\n", "bridge.ini:2: DISCOVERY: a topic without + or #"},
      {"[MQTT]\nCLIENTID=\n", "bridge.ini:2: CLIENTID: the bridge's name at the broker"},
      {"[MQTT]\nCLIENTID=hall/a\n", "bridge.ini:2: CLIENTID: the bridge's name at the broker"},
      {"[MQTT]\nCLIENTID=hall\xFF\n", "bridge.ini:2: CLIENTID: the bridge's name at the broker"},
      {"[MQTT]\nRETAIN=1\n", "bridge.ini:2: unknown key RETAIN"},
      {"[MQTT]\nCAFILE=/no/such/ca.crt\n", "bridge.ini:2: CAFILE: cannot read '/no/such/ca.crt'"},
      {"[MQTT]\nUSER=a\nPASSWORD_FILE=/no/such/file\n",
       "bridge.ini:3: PASSWORD_FILE: cannot read '/no/such/file'"},
      {"[MQTT]\nUSER=a\nPASSWORD=x\n",
       "bridge.ini:3: PASSWORD: the broker's password is not taken in this file"},
      {"[MQTT]\nUSER=a\nPASSWORD_FILE=/dev/zero\n",
       "bridge.ini:3: PASSWORD_FILE: '/dev/zero' is not a file"},
      {"[MQTT]\nCAFILE=/tmp\n", "bridge.ini:2: CAFILE: '/tmp' is not a file"},
      {"[MQTT]\nUSER=a\nPASSWORD_FILE=/etc/hostname\nPASSWORD_FILE=/etc/hostname\n",
       "bridge.ini:4: PASSWORD_FILE given twice"},
      {"# the units\n[UNIT a]\nADDR=10.0.0.1\n",
       "bridge.ini:1: '#' begins no comment here: a comment begins with ';'"},
      {unit + "# the unit's port\n", "bridge.ini:3: '#' begins no comment here"},
      {unit + "#PORT=10002\n", "bridge.ini:3: '#' begins no comment here"},
      {"[UNIT " + std::string(300, 'a') + "]\nADDR=10.0.0.1\n",
       "bridge.ini:1: a unit's id is at most 64 characters, not 300"},
      {unit + "LISTEN=127.0.0.1:20001\nALLOW=192.168.1.1/24\n",
       "bridge.ini:4: ALLOW: 192.168.1.1/24 has bits beyond its /24: the network is "
       "192.168.1.0/24, the host 192.168.1.1/32"},
      {unit + "ALLOW=127.0.0.0/8\n",
       "bridge.ini:3: ALLOW without LISTEN, VIDEOHUB or SWP08: the unit is shared"},
      {unit + "MAXCLIENTS=4\n", "bridge.ini:3: MAXCLIENTS without LISTEN, VIDEOHUB or SWP08"},
      {unit + "\n[UNIT b]\nADDR=10.0.0.1\n",
       "bridge.ini:4: unit b: 10.0.0.1:10001 is unit a already (first at line 1)"},
      {"[MQTT]\n[mqtt]\n", "bridge.ini:2: [MQTT] given twice (first at line 1)"},
      {unit + "VIDEOHUB=127.0.0.1:0\n", "bridge.ini:3: VIDEOHUB: an address and a port"},
      {unit + "SWP08=127.0.0.1\n", "bridge.ini:3: SWP08: an address and a port"},
      {unit + "LISTEN=127.0.0.1:9990\n[UNIT b]\nADDR=10.0.0.2\nVIDEOHUB=127.0.0.1\n",
       "bridge.ini:4: VIDEOHUB 127.0.0.1:9990 is unit a's already"},
      {unit + "INPUT1=" + std::string(25, 'x') + "\n",
       "bridge.ini:3: INPUT1: a label of up to 24 printable characters: 25 characters"},
      {unit + "INPUT2=Cam\x7F"
              "1\n",
       "bridge.ini:3: INPUT2: a label of up to 24 printable "
       "characters: control characters are not taken"},
      {unit + "INPUT2=Cam\xFF\n",
       "bridge.ini:3: INPUT2: a label of up to 24 printable "
       "characters: not UTF-8"},
      {unit + "ROUTER_ROLE=boss\n",
       "bridge.ini:3: ROUTER_ROLE: view, operate or admin, not 'boss'"},
      {"[BRIDGE]\nRECORD_DAYS=0\n", "bridge.ini:2: RECORD_DAYS: days from 1 to 3650, not '0'"},
      {"[BRIDGE]\nRECORD_MIB=4097\n", "bridge.ini:2: RECORD_MIB: MiB from 1 to 4096, not '4097'"},
  };
  for (const Case& c : cases) {
    bridge::BridgeConfig config;
    std::string problem;
    EXPECT_FALSE(bridge::ParseConfig(c.text, "bridge.ini", config, problem)) << c.text;
    EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << c.text;
  }
}

TEST(BridgeConfig, MqttWithItsDefaults) {
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig("[MQTT]\nPORT=8883\nDISCOVERY=\n", "f", config, problem))
      << problem;
  const auto* mqtt = config.Face<bridge::MqttConfig>("MQTT");
  ASSERT_NE(mqtt, nullptr);
  EXPECT_EQ(mqtt->host, "127.0.0.1");
  EXPECT_EQ(mqtt->port, 8883);
  EXPECT_EQ(mqtt->clientId, "kdt212-bridge");
  EXPECT_EQ(mqtt->topic, "kdt212");
  EXPECT_EQ(mqtt->discovery, "");  // no discovery
  EXPECT_TRUE(config.warnings.empty());
  ASSERT_TRUE(bridge::ParseConfig("[UNIT a]\nADDR=10.0.0.1\n", "f", config, problem));
  EXPECT_EQ(config.Face<bridge::MqttConfig>("MQTT"), nullptr);  // without the section, no MQTT
}

// The edges of every range are taken; what lies beyond them is refused
// above.
TEST(BridgeConfig, TheEdgesOfEveryRange) {
  const std::string unit = "[UNIT a]\nADDR=10.0.0.1\n";
  const std::string edges[] = {
      unit + "INTERVAL=0\n",
      unit + "INTERVAL=60000\n",
      unit + "PORT=1\n",
      unit + "PORT=65535\n",
      unit + "LISTEN=127.0.0.1:65535\nMAXCLIENTS=1\n",
      unit + "LISTEN=127.0.0.1:1\nMAXCLIENTS=1024\n",
      unit + "LISTEN=0.0.0.0:1\nALLOW=0.0.0.0/0, 10.0.0.7/32\n",
      "[UNIT " + std::string(64, 'a') + "]\nADDR=10.0.0.1\n",
      "[MQTT]\nPORT=1\nCLIENTID=" + std::string(64, 'c') + "\n",
      "[MQTT]\nPORT=65535\n",
      "\xEF\xBB\xBF[UNIT a]\nADDR=10.0.0.1\n",  // as some editors save it
      unit + "INPUT1=" + std::string(24, 'x') + "\n",
      "[BRIDGE]\nRECORD_DAYS=3650\nRECORD_MIB=1\n",
      unit + "VIDEOHUB=127.0.0.1:1\nSWP08=127.0.0.1:65535\nALLOW=10.0.0.0/8\n",
  };
  for (const std::string& text : edges) {
    bridge::BridgeConfig config;
    std::string problem;
    EXPECT_TRUE(bridge::ParseConfig(text, "f", config, problem)) << text << problem;
  }
}

// The password file's first line is the password, whatever ends the line.
TEST(BridgeConfig, PasswordFileWithEitherLineEnd) {
  char folder[] = "/tmp/kdt-password-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/password";
  for (const std::string text : {"s3cret\n", "s3cret\r\n", "s3cret", "s3cret\r\nsecond\r\n"}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    chmod(file.c_str(), 0600);
    bridge::BridgeConfig config;
    std::string problem;
    ASSERT_TRUE(
        bridge::ParseConfig("[MQTT]\nUSER=hub\nPASSWORD_FILE=" + file + "\n", "f", config, problem))
        << problem;
    EXPECT_EQ(config.Face<bridge::MqttConfig>("MQTT")->password, "s3cret");
    EXPECT_TRUE(config.warnings.empty());
  }
  chmod(file.c_str(), 0644);
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(
      bridge::ParseConfig("[MQTT]\nUSER=hub\nPASSWORD_FILE=" + file + "\n", "f", config, problem));
  ASSERT_EQ(config.warnings.size(), 1u);
  EXPECT_EQ(config.warnings[0], "f:3: PASSWORD_FILE " + file +
                                    " may be read by every user of this machine: chmod o-r it");
  std::filesystem::remove_all(folder);
}

// --check run by root judges the files as the service will meet them: with
// its user's rights, and behind its sandbox.
TEST(BridgeConfig, FilesJudgedAsTheServiceMeetsThem) {
  char folder[] = "/tmp/kdt-ca-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  chmod(folder, 0755);
  const std::string ca = std::string(folder) + "/ca.crt";
  std::ofstream(ca) << "not read here\n";
  chmod(ca.c_str(), 0600);  // root's alone
  const std::string text = "[MQTT]\nCAFILE=" + ca + "\n";
  bridge::BridgeConfig config;
  std::string problem;
  EXPECT_TRUE(bridge::ParseConfig(text, "f", config, problem)) << problem;
  EXPECT_FALSE(
      bridge::ParseConfig(text, "f", config, problem, bridge::FileAccess::AsService("nobody")));
  EXPECT_EQ(problem, "f:2: CAFILE: cannot read '" + ca + "': permission denied for nobody");
  chmod(ca.c_str(), 0644);
  EXPECT_TRUE(
      bridge::ParseConfig(text, "f", config, problem, bridge::FileAccess::AsService("nobody")))
      << problem;
  EXPECT_FALSE(bridge::ParseConfig("[MQTT]\nCAFILE=/home/someone/ca.crt\n", "f", config, problem,
                                   bridge::FileAccess::AsService("")));
  EXPECT_EQ(problem,
            "f:2: CAFILE: the service cannot see '/home/someone/ca.crt': its unit's ProtectHome= "
            "hides /home; keep it below /etc/kdt212");
  std::filesystem::remove_all(folder);
}

// Salvos: relays of the file's units, each with its input, each once.
TEST(BridgeConfig, Salvos) {
  const std::string units = "[UNIT studio]\nADDR=10.0.0.1\n[UNIT hall]\nADDR=10.0.0.2\n";
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig(
      "[SALVO evening]\nLABEL=Evening programme    ; shown instead of the id\nstudio.A=2\n"
      "studio.b=1\nhall.C=2\n" +
          units,
      "f", config, problem))
      << problem;
  ASSERT_EQ(config.salvos.size(), 1u);
  const bridge::SalvoConfig& salvo = config.salvos[0];
  EXPECT_EQ(salvo.id, "evening");
  EXPECT_EQ(salvo.label, "Evening programme");
  EXPECT_EQ(salvo.steps,
            (std::vector<bridge::SalvoStep>{{"studio", 3, 2}, {"studio", 2, 1}, {"hall", 1, 2}}));
  const std::pair<std::string, std::string> cases[] = {
      {"[SALVO e]\nstudio.A=2\nnosuch.B=1\n", "f:7: salvo e: no unit nosuch in this file"},
      {"[SALVO e]\nstudio.D=2\n", "f:6: a salvo's line is UNIT.RELAY=INPUT"},
      {"[SALVO e]\nstudio.1=2\n", "f:6: a salvo's line is UNIT.RELAY=INPUT"},
      {"[SALVO e]\nstudio=2\n", "f:6: a salvo's line is UNIT.RELAY=INPUT"},
      {"[SALVO e]\nstudio.A=3\n", "f:6: studio.A: an input is 1 or 2, not '3'"},
      {"[SALVO e]\nstudio.A=2\nstudio.a=1\n", "f:7: studio.a given twice"},
      {"[SALVO e]\nLABEL=Nothing\n", "f:5: salvo e sets no relay"},
      {"[SALVO]\nstudio.A=2\n", "f:5: [SALVO] needs an id"},
      {"[SALVO e/1]\nstudio.A=2\n", "f:5: a salvo's id is letters, digits"},
      {"[SALVO e]\nstudio.A=2\n[SALVO E]\nhall.A=1\n", "f:7: salvo E given twice"},
      {"[BRIDGE]\nSTATE=/no/such/folder/protects.json\n", "f:6: STATE: a file in a folder"},
      {"[BRIDGE]\nSTATES=/tmp/p.json\n", "f:6: unknown key STATES"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_FALSE(bridge::ParseConfig(units + text, "f", config, problem)) << text;
    EXPECT_EQ(problem.substr(0, expected.size()), expected) << text;
  }
  ASSERT_TRUE(
      bridge::ParseConfig(units + "[BRIDGE]\nSTATE=/tmp/protects.json\n", "f", config, problem))
      << problem;
  EXPECT_EQ(config.stateFile, "/tmp/protects.json");
}

// The page's section, and its users file.
TEST(BridgeConfig, TheHttpSectionAndItsUsers) {
  char folder[] = "/tmp/kdt-users-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string users = std::string(folder) + "/users";
  const std::string hash = bridge::HashPassword("s3cret");
  const auto write = [&](const std::string& text, mode_t mode) {
    std::ofstream(users, std::ios::trunc) << text;
    chmod(users.c_str(), mode);
  };
  write("# the site's operators\nalice:operate:" + hash + "\nbob:view:" + hash + "\n", 0640);
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig(
      "[HTTP]\nLISTEN=0.0.0.0:8212\nALLOW=10.0.0.0/8\nUSERS=" + users + "\nMAXCLIENTS=1024\n", "f",
      config, problem))
      << problem;
  const auto* http = config.Face<bridge::HttpConfig>("HTTP");
  ASSERT_NE(http, nullptr);
  EXPECT_EQ(bridge::EndpointText(http->listen), "0.0.0.0:8212");
  ASSERT_EQ(http->users.size(), 2u);
  EXPECT_EQ(http->users[1].name, "bob");
  EXPECT_EQ(http->users[1].role, bridge::Role::kView);
  EXPECT_TRUE(bridge::PasswordMatches("s3cret", http->users[0].hash));
  EXPECT_FALSE(bridge::PasswordMatches("s3cret ", http->users[0].hash));
  ASSERT_TRUE(bridge::ParseConfig("[HTTP]\nLISTEN=127.0.0.1:8212\n", "f", config, problem));
  http = config.Face<bridge::HttpConfig>("HTTP");
  EXPECT_EQ(bridge::CidrText(http->allow[0]), "127.0.0.0/8");  // loopback unless given
  EXPECT_EQ(http->maxClients, 64);

  struct Case {
    std::string users;  // the users file's text; empty: the section alone
    mode_t mode;
    std::string section, problem;
  };
  const std::string listen = "[HTTP]\nLISTEN=127.0.0.1:8212\n";
  const Case cases[] = {
      {"", 0, "[HTTP]\nMAXCLIENTS=2\n", "f:1: [HTTP] needs LISTEN"},
      {"", 0, listen + "MAXCLIENTS=0\n", "f:3: MAXCLIENTS: from 1 to 1024"},
      {"", 0, listen + "MAXCLIENTS=1025\n", "f:3: MAXCLIENTS: from 1 to 1024"},
      {"", 0, listen + "CERT=/etc/hostname\n", "f:1: CERT and KEY go together"},
      {"", 0, listen + "KEY=/no/such.key\n", "f:3: KEY: cannot read '/no/such.key'"},
      {"", 0, "[HTTP]\nLISTEN=192.168.1.5:8212\n",
       "f:1: LISTEN 192.168.1.5:8212 would open a page that switches feeds to the network "
       "without a login: give USERS, or listen on a loopback address"},
      {"", 0, "[UNIT a]\nADDR=10.0.0.1\nLISTEN=127.0.0.1:8212\n" + listen,
       "f:4: LISTEN 127.0.0.1:8212 is unit a's already"},
      {"", 0, listen + "PORT=1\n", "f:3: unknown key PORT"},
      {"", 0, listen + "PROXY=nginx\n", "f:3: PROXY: the addresses of the reverse proxies"},
      {"", 0, listen + "PROXY=127.0.0.1,\n", "f:3: PROXY: the addresses of the reverse proxies"},
      {"", 0, listen + "HOST=kdt.example.org,,x\n", "f:3: HOST: names such as kdt.example.org"},
      {"", 0, listen + "HOST=evil.example/x\n", "f:3: HOST: names such as kdt.example.org"},
      {"alice:operate:" + hash + "\n", 0644, listen + "USERS=" + users + "\n",
       "f:3: USERS: " + users + " may be read by every user of this machine"},
      {"alice:operate\n", 0640, listen + "USERS=" + users + "\n", users + ":1: not NAME:ROLE:HASH"},
      {"# who\nalice:root:" + hash + "\n", 0640, listen + "USERS=" + users + "\n",
       users + ":2: the role is view, operate or admin, not 'root'"},
      {"alice:operate:$1$abc$defghijklmnopqrstuv\n", 0640, listen + "USERS=" + users + "\n",
       users + ":1: the hash of alice is not yescrypt ($y$) or SHA-512 ($6$)"},
      {"alice:operate:s3cret\n", 0640, listen + "USERS=" + users + "\n",
       users + ":1: the hash of alice is not yescrypt"},
      {"al:ice:operate:" + hash + "\n", 0640, listen + "USERS=" + users + "\n",
       users + ":1: the role is view, operate or admin, not 'ice'"},
      {"alice:view:" + hash + "\nalice:operate:" + hash + "\n", 0640,
       listen + "USERS=" + users + "\n", users + ":2: alice given twice"},
  };
  for (const Case& c : cases) {
    if (!c.users.empty()) write(c.users, c.mode);
    EXPECT_FALSE(bridge::ParseConfig(c.section, "f", config, problem)) << c.section;
    EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << c.section;
  }
  std::filesystem::remove_all(folder);
}

// A reload restarts a session only for what the session is made of.
TEST(BridgeConfig, WhatChangedAndWhetherTheSessionGoesOn) {
  bridge::BridgeConfig before, after;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig("[UNIT a]\nADDR=10.0.0.1\nLISTEN=127.0.0.1:20001\n", "f", before,
                                  problem));
  ASSERT_TRUE(bridge::ParseConfig(
      "[UNIT a]\nADDR=10.0.0.1\nLISTEN=127.0.0.1:20001\nALLOW=10.0.0.0/8\nMAXCLIENTS=3\n", "f",
      after, problem));
  EXPECT_TRUE(before.units[0].SameSession(after.units[0]));
  EXPECT_EQ(bridge::ChangesText(before.units[0], after.units[0]),
            "ALLOW 127.0.0.0/8 -> 10.0.0.0/8, MAXCLIENTS 16 -> 3");
  ASSERT_TRUE(bridge::ParseConfig("[UNIT a]\nADDR=10.0.0.2\nINTERVAL=1\n", "f", after, problem));
  EXPECT_FALSE(before.units[0].SameSession(after.units[0]));
  EXPECT_EQ(bridge::ChangesText(before.units[0], after.units[0]),
            "ADDR 10.0.0.1 -> 10.0.0.2, INTERVAL 10 -> 1, LISTEN 127.0.0.1:20001 -> none");
  EXPECT_EQ(bridge::ChangesText(before.units[0], before.units[0]), "");
}

TEST(BridgeConfig, AllowedNetworks) {
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseConfig(
      "[UNIT a]\nADDR=10.0.0.1\nLISTEN=0.0.0.0:20001\nALLOW=192.168.1.0/24, 10.0.0.7, 0.0.0.0/0\n",
      "f", config, problem));
  const auto& allow = config.units[0].allow;
  EXPECT_TRUE(allow[0].Contains(kdt::StrToIP("192.168.1.200")));
  EXPECT_FALSE(allow[0].Contains(kdt::StrToIP("192.168.2.1")));
  EXPECT_TRUE(allow[1].Contains(kdt::StrToIP("10.0.0.7")));
  EXPECT_FALSE(allow[1].Contains(kdt::StrToIP("10.0.0.8")));
  EXPECT_TRUE(allow[2].Contains(kdt::StrToIP("203.0.113.9")));
}

}  // namespace
