// A command from MQTT: a topic and its payload, as a hub or anyone on the
// broker may publish them. A topic is taken only when it is exactly one of
// the bridge's command topics, and a payload only when it is one of the
// topic's: an input of 1 or 2, or a name by the rule of every rename. A
// salvo's take topic likewise names a well-formed salvo id only.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CodePage.h"
#include "RelayName.h"
#include "mqtt/Topics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string topic = input.substr(0, split);
  const std::string payload = split == std::string::npos ? "" : input.substr(split + 1);
  const bridge::MqttConfig mqtt;
  bridge::CommandOnTopic command;
  if (bridge::ParseCommandTopic(mqtt, topic, command)) {
    if (command.relay < 1 || command.relay > 3 || command.unit.empty() ||
        command.unit.find('/') != std::string::npos ||
        bridge::CommandTopic(mqtt, command.unit, command.relay, command.leaf) != topic) {
      std::abort();
    }
  }
  std::string salvo;
  if (bridge::ParseSalvoTakeTopic(mqtt, topic, salvo) &&
      (salvo.empty() || bridge::SalvoTakeTopic(mqtt, salvo) != topic ||
       !std::all_of(salvo.begin(), salvo.end(), bridge::IsIdCharacter))) {
    std::abort();
  }
  int relayInput = 0;
  if (bridge::ParseInputPayload(payload, relayInput) && relayInput != 1 && relayInput != 2) {
    std::abort();
  }
  std::string bytes, problem;
  if (kdt::EncodeRelayName(payload, bytes, problem)) {
    if (bytes.size() > kdt::kNameLength) std::abort();
    for (char c : bytes) {
      if (kdt::IsControlCharacter(kdt::CodePageCharacter(static_cast<std::uint8_t>(c)))) {
        std::abort();
      }
    }
    std::string again;
    if (!kdt::EncodeRelayName(kdt::DecodeToUtf8(bytes), again, problem) || again != bytes) {
      std::abort();
    }
  } else if (problem.empty() || !bytes.empty()) {
    std::abort();
  }
  return 0;
}
