// A unit's 9990 text face (VIDEOHUB=): the plain-text router protocol that
// controllers' router modules and control systems' drivers speak, on TCP
// port 9990 unless the file says another. Outputs 0, 1, 2 are RELAY A, B, C;
// inputs 0, 1 are INPUT 1, 2. A client is first told everything (the
// preamble, the device, the labels, the locks, the routing); later each
// change, as the block of the changed lines alone, to every client. What a
// client asks for is answered ACK or NAK before anything else: a routing
// block is one take, all or nothing; its routing block follows once the
// unit shows it. A header alone asks for that block whole.
#pragma once

#include <string>

#include "router/RouterFace.h"
#include "videohub/TextBlocks.h"

namespace bridge {

constexpr const char* kVideohubKey = "VIDEOHUB";
constexpr int kVideohubPort = 9990;

class VideohubFace : public RouterFace {
 public:
  VideohubFace(const UnitConfig& unit, Core& core, bool verbose);

 private:
  struct HubClient;

  std::unique_ptr<Client> NewClient() override;
  void Greet(Client& client) override;
  void Received(Client& client, std::string_view bytes) override;
  void Changed(const RouterView& before) override;

  bool Answer(Client& client, const TextBlock& block);
  bool AnswerRoutes(Client& client, const TextBlock& block);
  bool AnswerLabels(Client& client, const TextBlock& block);
  bool AnswerLocks(Client& client, const TextBlock& block);
  // The block of that header, whole, as this client sees it; empty for a
  // header of none.
  std::string WholeBlock(const std::string& header, const Client& client) const;
  std::string DeviceBlock() const;
};

}  // namespace bridge
