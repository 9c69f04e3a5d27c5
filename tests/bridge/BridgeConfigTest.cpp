// The bridge's configuration, read without running anything.
#include "BridgeConfig.h"

#include <gtest/gtest.h>

#include "UnitProcIP.h"

namespace {

TEST(BridgeConfig, EveryKeyWithCommentsAfterValuesAndHeaders) {
  const std::string text =
      "; the bridge's units\n"
      "[UNIT studio]            ; one section per unit\n"
      "ADDR=192.168.0.200       ; the unit's address\n"
      "PORT=10002\n"
      "INTERVAL=10\n"
      "LISTEN=127.0.0.1:20001\n"
      "ALLOW=127.0.0.0/8, 192.168.1.77, 10.1.2.3/16\n"
      "MAXCLIENTS=4\n"
      "\n"
      "[unit hall-2_b]\r\n"
      "addr = 010.0.0.$0A\r\n";
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseBridgeConfig(text, "bridge.ini", config, problem)) << problem;
  ASSERT_EQ(config.units.size(), 2u);
  const bridge::UnitConfig& studio = config.units[0];
  EXPECT_EQ(studio.id, "studio");
  EXPECT_EQ(kdt::IPToStr(studio.address), "192.168.0.200");
  EXPECT_EQ(studio.port, 10002);
  EXPECT_EQ(studio.intervalMs, 10u);
  ASSERT_TRUE(studio.listen.has_value());
  EXPECT_EQ(bridge::EndpointText(*studio.listen), "127.0.0.1:20001");
  ASSERT_EQ(studio.allow.size(), 3u);
  EXPECT_EQ(bridge::CidrText(studio.allow[1]), "192.168.1.77/32");
  EXPECT_EQ(bridge::CidrText(studio.allow[2]), "10.1.0.0/16");  // host bits masked
  EXPECT_EQ(studio.maxClients, 4);
  const bridge::UnitConfig& hall = config.units[1];
  EXPECT_EQ(hall.id, "hall-2_b");
  EXPECT_EQ(kdt::IPToStr(hall.address), "10.0.0.10");  // the console's address rules
  EXPECT_EQ(hall.port, 10001);
  EXPECT_EQ(hall.intervalMs, 1u);
  EXPECT_FALSE(hall.listen.has_value());
  ASSERT_EQ(hall.allow.size(), 1u);
  EXPECT_EQ(bridge::CidrText(hall.allow[0]), "127.0.0.0/8");  // loopback unless given
  EXPECT_EQ(hall.maxClients, 16);
}

TEST(BridgeConfig, NoUnitsIsAConfigurationThatConnectsNowhere) {
  bridge::BridgeConfig config;
  std::string problem;
  EXPECT_TRUE(bridge::ParseBridgeConfig("; nothing yet\n", "bridge.ini", config, problem));
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
      {"[UNIT a]\nPORT=10001\n", "bridge.ini:1: unit a has no ADDR"},
      {"[UNIT a]\nADDR=300.0.0.1\n", "bridge.ini:2: ADDR: not a unit's IPv4 address: '300.0.0.1'"},
      {"[UNIT a]\nADDR=0.0.0.0\n", "bridge.ini:2: ADDR: not a unit's IPv4 address"},
      {unit + "PORT=0\n", "bridge.ini:3: PORT: a port from 1 to 65535, not '0'"},
      {unit + "PORT=65536\n", "bridge.ini:3: PORT: a port from 1 to 65535"},
      {unit + "INTERVAL=-1\n", "bridge.ini:3: INTERVAL: milliseconds from 0 to 60000"},
      {unit + "INTERVAL=60001\n", "bridge.ini:3: INTERVAL: milliseconds from 0 to 60000"},
      {unit + "LISTEN=127.0.0.1\n", "bridge.ini:3: LISTEN: an address and a port"},
      {unit + "LISTEN=127.0.0.1:0\n", "bridge.ini:3: LISTEN: an address and a port"},
      {unit + "ALLOW=127.0.0.0/33\n", "bridge.ini:3: ALLOW: networks such as"},
      {unit + "ALLOW=\n", "bridge.ini:3: ALLOW: networks such as"},
      {unit + "MAXCLIENTS=0\n", "bridge.ini:3: MAXCLIENTS: from 1 to 1024, not '0'"},
      {unit + "MAXCLIENTS=1025\n", "bridge.ini:3: MAXCLIENTS: from 1 to 1024"},
      {unit + "SPEED=9600\n", "bridge.ini:3: unknown key SPEED"},
      {unit + "just words\n", "bridge.ini:3: not a KEY=VALUE line"},
      {unit + "PORT=1\nport=2\n", "bridge.ini:4: port given twice (first at line 3)"},
      {unit + "\n[UNIT A]\nADDR=10.0.0.2\n", "bridge.ini:4: unit A given twice (first at line 1)"},
      {unit + "LISTEN=127.0.0.1:20001\n[UNIT b]\nADDR=10.0.0.2\nLISTEN=127.0.0.1:20001\n",
       "bridge.ini:4: LISTEN 127.0.0.1:20001 is unit a's already"},
      {unit + "LISTEN=0.0.0.0:20001\n[UNIT b]\nADDR=10.0.0.2\nLISTEN=127.0.0.1:20001\n",
       "bridge.ini:4: LISTEN 127.0.0.1:20001 is unit a's already"},
      {"[UNIT bridge]\nADDR=10.0.0.1\n", "bridge.ini:1: 'bridge' names the bridge itself"},
      {"[MQTT]\nHOST=\n", "bridge.ini:2: HOST: the broker's address or name"},
      {"[MQTT]\nPORT=0\n", "bridge.ini:2: PORT: a port from 1 to 65535, not '0'"},
      {"[MQTT]\nTOPIC=kdt/#\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nTOPIC=/kdt\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nTOPIC=\n", "bridge.ini:2: TOPIC: a topic without + or #"},
      {"[MQTT]\nDISCOVERY=ha/+\n", "bridge.ini:2: DISCOVERY: a topic without + or #"},
      {"[MQTT]\nCLIENTID=\n", "bridge.ini:2: CLIENTID: a name for the bridge"},
      {"[MQTT]\nRETAIN=1\n", "bridge.ini:2: unknown key RETAIN"},
      {"[MQTT]\nCAFILE=/no/such/ca.crt\n", "bridge.ini:2: CAFILE: cannot read '/no/such/ca.crt'"},
      {"[MQTT]\nUSER=a\nPASSWORD_FILE=/no/such/file\n",
       "bridge.ini:3: PASSWORD_FILE: cannot read '/no/such/file'"},
      {"[MQTT]\nUSER=a\nPASSWORD=x\nPASSWORD_FILE=/etc/hostname\n",
       "bridge.ini:4: PASSWORD and PASSWORD_FILE: give the password file alone"},
      {"[MQTT]\nPASSWORD=x\n", "bridge.ini:1: a password for the broker needs USER"},
      {"[MQTT]\n[mqtt]\n", "bridge.ini:2: [MQTT] given twice (first at line 1)"},
  };
  for (const Case& c : cases) {
    bridge::BridgeConfig config;
    std::string problem;
    EXPECT_FALSE(bridge::ParseBridgeConfig(c.text, "bridge.ini", config, problem)) << c.text;
    EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << c.text;
  }
}

TEST(BridgeConfig, MqttWithItsDefaults) {
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseBridgeConfig("[MQTT]\nPORT=8883\nDISCOVERY=\n", "f", config, problem))
      << problem;
  ASSERT_TRUE(config.mqtt.has_value());
  EXPECT_EQ(config.mqtt->host, "127.0.0.1");
  EXPECT_EQ(config.mqtt->port, 8883);
  EXPECT_EQ(config.mqtt->clientId, "kdt212-bridge");
  EXPECT_EQ(config.mqtt->topic, "kdt212");
  EXPECT_EQ(config.mqtt->discovery, "");  // no discovery
  EXPECT_TRUE(config.warnings.empty());
  ASSERT_TRUE(
      bridge::ParseBridgeConfig("[MQTT]\nUSER=hub\nPASSWORD=secret\n", "f", config, problem));
  EXPECT_EQ(config.mqtt->password, "secret");
  ASSERT_EQ(config.warnings.size(), 1u);
  EXPECT_EQ(config.warnings[0].find("secret"), std::string::npos);  // never shown
  EXPECT_FALSE(bridge::ParseBridgeConfig("[UNIT a]\nADDR=10.0.0.1\n", "f", config, problem) &&
               config.mqtt.has_value());  // without the section, no MQTT
}

TEST(BridgeConfig, AllowedNetworks) {
  bridge::BridgeConfig config;
  std::string problem;
  ASSERT_TRUE(bridge::ParseBridgeConfig(
      "[UNIT a]\nADDR=10.0.0.1\nALLOW=192.168.1.0/24, 10.0.0.7, 0.0.0.0/0\n", "f", config,
      problem));
  const auto& allow = config.units[0].allow;
  EXPECT_TRUE(allow[0].Contains(kdt::StrToIP("192.168.1.200")));
  EXPECT_FALSE(allow[0].Contains(kdt::StrToIP("192.168.2.1")));
  EXPECT_TRUE(allow[1].Contains(kdt::StrToIP("10.0.0.7")));
  EXPECT_FALSE(allow[1].Contains(kdt::StrToIP("10.0.0.8")));
  EXPECT_TRUE(allow[2].Contains(kdt::StrToIP("203.0.113.9")));
}

}  // namespace
