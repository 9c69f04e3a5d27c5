// A unit's SW-P-08 face (SWP08=): the General Switcher protocol over TCP,
// as broadcast control systems and hardware panels speak it. Matrix 1 and
// level 1 only (0 on the wire); destinations 1-3 are RELAY A, B, C and
// sources 1-2 are INPUT 1, 2 (0-based on the wire). Every message received
// whole is acknowledged (DLE ACK; DLE NAK for a bad count or checksum); one
// for another matrix or level, or out of range, gets nothing more. A
// connect, a protect and a salvo's go are answered as the protocol answers
// them; a change from anywhere reaches every client unasked. A protect's
// owner is given as a device number: a router client's host, 1 + the order
// in which hosts first came to this face since the bridge started; any
// other owner, 1023.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "router/RouterFace.h"
#include "swp08/Swp08Messages.h"

namespace bridge {

constexpr const char* kSwp08Key = "SWP08";

class Swp08Face : public RouterFace {
 public:
  Swp08Face(const UnitConfig& unit, Core& core, bool verbose);

 private:
  struct PanelClient;

  std::unique_ptr<Client> NewClient() override;
  void Greet(Client& client) override;
  void Received(Client& client, std::string_view bytes) override;
  void Changed(const RouterView& before) override;

  bool Answer(Client& client, const std::string& data);
  bool AnswerConnect(Client& client, const std::string& data);
  bool AnswerProtect(Client& client, const std::string& data);
  bool AnswerNames(Client& client, const std::string& data);
  bool AnswerSalvo(Client& client, const std::string& data);
  bool AnswerGo(Client& client, const std::string& data);
  bool AnswerSalvoInterrogate(Client& client, const std::string& data);
  bool SendData(Client& client, const std::string& data);
  void TellAll(const std::string& data);

  // Salvo groups, by number: the crosspoints stored for a go, in the order
  // they came, one per destination.
  std::map<int, std::vector<Route>> salvos_;
};

}  // namespace bridge
