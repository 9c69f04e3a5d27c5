// The SW-P-08 face against the real bridge and simulated units, spoken by
// a client written from the protocol's public layout: matrix 1, level 1
// (0 on the wire), destinations 0-2 (RELAY A, B, C) and sources 0-1.
#include <gtest/gtest.h>

#include "RecordingUnit.h"
#include "RouterFixture.h"

namespace testsupport {
namespace {

std::string Data(std::initializer_list<int> values) {
  std::string data;
  for (int value : values) data += static_cast<char>(value);
  return data;
}

// Sends `message` and reads its ACK; then, unless `answer` is empty, the
// answer, which must be that.
void ExpectAnswer(Swp08Peer& peer, const std::vector<int>& message, const std::string& answer) {
  ASSERT_TRUE(peer.Message(message));
  const std::optional<Swp08Item> ack = peer.Next();
  ASSERT_TRUE(ack);
  ASSERT_EQ(ack->kind, Swp08Item::kAck);
  if (answer.empty()) {
    EXPECT_TRUE(peer.Quiet(400)) << "0x" << std::hex << message[0];
    return;
  }
  const std::optional<Swp08Item> item = peer.Next();
  ASSERT_TRUE(item) << "0x" << std::hex << message[0];
  EXPECT_EQ(item->kind, Swp08Item::kMessage);
  EXPECT_EQ(item->data, answer) << "0x" << std::hex << message[0];
}

using Swp08Test = RouterTest;

TEST_F(Swp08Test, InterrogationsAreAnsweredAsTheProtocolLaysThemOut) {
  StartRouters("INPUT1=Camera 1\n");
  Panel(*unit_, "input C 2");
  Panel(*unit_, "name A \xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0");  // Cyrillic
  ASSERT_TRUE(bridge_->WaitForLog("studio: RELAY A: name")) << bridge_->Log();
  auto panel = Swp08Client();
  struct Case {
    std::vector<int> message;
    std::string answer;
  };
  const Case cases[] = {
      {{0x01, 0x00, 0x00, 0x02}, Data({0x03, 0x00, 0x00, 0x02, 0x01})},  // RELAY C: INPUT 2
      {{0x01, 0x00, 0x00, 0x00}, Data({0x03, 0x00, 0x00, 0x00, 0x00})},
      {{0x15, 0x00}, Data({0x16, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01})},
      {{0x64, 0x00, 0x00}, Data({0x6A, 0x00, 0x00, 0x00, 0x00, 0x02}) + "CameINPU"},
      {{0x64, 0x00, 0x01}, Data({0x6A, 0x00, 0x01, 0x00, 0x00, 0x02}) + "Camera 1INPUT 2 "},
      {{0x66, 0x00, 0x00}, Data({0x6B, 0x00, 0x00, 0x00, 0x00, 0x03}) + "????BackMain"},
      {{0x66, 0x00, 0x02},
       Data({0x6B, 0x00, 0x02, 0x00, 0x00, 0x03}) + "??????      Backup feed Main feed   "},
      {{0x0A, 0x00, 0x00, 0x01}, Data({0x0B, 0x00, 0x00, 0x00, 0x01, 0x00})},
      // Not this router's, or out of its range: acknowledged, no more.
      {{0x01, 0x10, 0x00, 0x00}, ""},        // matrix 2
      {{0x01, 0x01, 0x00, 0x00}, ""},        // level 2
      {{0x01, 0x00, 0x00, 0x03}, ""},        // destination 4
      {{0x01, 0x00, 0x10, 0x00}, ""},        // destination 129
      {{0x02, 0x00, 0x00, 0x00, 0x02}, ""},  // source 3
      {{0x64, 0x00, 0x03}, ""},              // 16 characters
      {{0x42, 0x00}, ""},                    // a command this face does not know
  };
  for (const Case& c : cases) ExpectAnswer(*panel, c.message, c.answer);
}

TEST_F(Swp08Test, TheImplementationListsWhatTheFaceTakesAndSends) {
  StartRouters();
  auto panel = Swp08Client();
  ASSERT_TRUE(panel->Message({0x61}));
  const std::optional<Swp08Item> answer = panel->NextOf(0x62);
  ASSERT_TRUE(answer);
  const std::string& data = answer->data;
  const std::size_t taken = answer->At(1);
  ASSERT_GT(data.size(), 2 + taken);
  const std::string commands = data.substr(2, taken);
  for (int command : {0x01, 0x02, 0x0A, 0x0C, 0x0E, 0x15, 0x61, 0x64, 0x66, 0x78, 0x79, 0x7C}) {
    EXPECT_NE(commands.find(char(command)), std::string::npos) << "takes 0x" << std::hex << command;
  }
  const std::size_t sent = answer->At(2 + taken);
  ASSERT_EQ(data.size(), 3 + taken + sent);
  const std::string answers = data.substr(3 + taken);
  for (int command : {0x03, 0x04, 0x0B, 0x0D, 0x0F, 0x16, 0x62, 0x6A, 0x6B, 0x7A, 0x7B, 0x7D}) {
    EXPECT_NE(answers.find(char(command)), std::string::npos) << "sends 0x" << std::hex << command;
  }
}

// A connect is answered once the unit shows it, to every client; one to
// what stands, at once to its sender; one that cannot be carried out, with
// a tally of what stands, and nothing goes to the unit.
TEST_F(Swp08Test, AConnectIsShownToEveryClientOnceTheUnitShowsIt) {
  StartRouters();
  auto sender = Swp08Client();
  auto other = Swp08Client(kOtherHost);
  ExpectAnswer(*sender, {0x02, 0x00, 0x00, 0x01, 0x01}, Data({0x04, 0x00, 0x00, 0x01, 0x01}));
  const std::optional<Swp08Item> broadcast = other->NextOf(0x04);
  ASSERT_TRUE(broadcast);
  EXPECT_EQ(broadcast->data, Data({0x04, 0x00, 0x00, 0x01, 0x01}));
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[1]), 2);  // RELAY B

  ExpectAnswer(*sender, {0x02, 0x00, 0x00, 0x01, 0x01}, Data({0x04, 0x00, 0x00, 0x01, 0x01}));
  EXPECT_TRUE(other->Quiet(400));

  Panel(*unit_, "lock A on");
  ASSERT_TRUE(sender->NextOf(0x0D));  // RELAY A is protected now: locked at the unit
  const std::size_t sent = FramesWithCode(*unit_, kdt::kCmdSetInput).size();
  ExpectAnswer(*sender, {0x02, 0x00, 0x00, 0x00, 0x01}, Data({0x03, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), sent);
}

// Protects between two hosts and a user of the page: each client hears of
// each with its owner's device number, in the order the hosts came.
TEST_F(Swp08Test, ProtectsNameTheirOwnersDevice) {
  StartRouters("", {"ann:admin:ann's Pa55"});
  auto first = Swp08Client();
  auto second = Swp08Client(kOtherHost);
  const std::string held = Data({0x0D, 0x01, 0x00, 0x00, 0x02, 0x01});  // RELAY C, device 1
  ExpectAnswer(*first, {0x0C, 0x00, 0x00, 0x02, 0x01}, held);
  const std::optional<Swp08Item> told = second->NextOf(0x0D);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->data, held);
  // Not the second's to take or release: a tally of what stands.
  const std::string standing = Data({0x0B, 0x01, 0x00, 0x00, 0x02, 0x01});
  ExpectAnswer(*second, {0x0C, 0x00, 0x00, 0x02, 0x02}, standing);
  ExpectAnswer(*second, {0x0E, 0x00, 0x00, 0x02, 0x02}, standing);
  ExpectAnswer(*second, {0x02, 0x00, 0x00, 0x02, 0x01}, Data({0x03, 0x00, 0x00, 0x02, 0x00}));
  // The second's own: its device number is 2.
  ExpectAnswer(*second, {0x0C, 0x00, 0x00, 0x01, 0x02}, Data({0x0D, 0x01, 0x00, 0x00, 0x01, 0x02}));
  ASSERT_TRUE(first->NextOf(0x0D));
  // A user of the page: any other owner is device 1023.
  const std::string cookie = LogIn("ann", "ann's Pa55");
  ASSERT_EQ(Post("/api/units/studio/relays/a/protect", "{\"on\":true}", cookie).status, 200);
  const std::optional<Swp08Item> page = first->NextOf(0x0D);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->data, Data({0x0D, 0x01, 0x00, 0x07, 0x00, 0x7F}));
  // The admin's forced release reaches both.
  ASSERT_EQ(Post("/api/units/studio/relays/c/protect", "{\"on\":false}", cookie).status, 200);
  for (Swp08Peer* peer : {first.get(), second.get()}) {
    const std::optional<Swp08Item> released = peer->NextOf(0x0F);
    ASSERT_TRUE(released);
    EXPECT_EQ(released->data, Data({0x0F, 0x00, 0x00, 0x00, 0x02, 0x01}));
  }
}

// A salvo group: crosspoints stored, interrogated, and taken at a go all
// at once.
TEST_F(Swp08Test, ASalvoGroupIsTakenAtItsGo) {
  StartRouters();
  auto panel = Swp08Client();
  auto other = Swp08Client(kOtherHost);
  ExpectAnswer(*panel, {0x78, 0x00, 0x00, 0x00, 0x01, 0x05},
               Data({0x7A, 0x00, 0x00, 0x00, 0x01, 0x05}));
  ExpectAnswer(*panel, {0x78, 0x00, 0x00, 0x02, 0x01, 0x05},
               Data({0x7A, 0x00, 0x00, 0x02, 0x01, 0x05}));
  ExpectAnswer(*panel, {0x7C, 0x05, 0x00}, Data({0x7D, 0x00, 0x00, 0x00, 0x01, 0x05, 0x00, 0x00}));
  ExpectAnswer(*panel, {0x7C, 0x05, 0x01}, Data({0x7D, 0x00, 0x00, 0x02, 0x01, 0x05, 0x01, 0x01}));
  ExpectAnswer(*panel, {0x7C, 0x05, 0x02}, Data({0x7D, 0x00, 0x00, 0x00, 0x00, 0x05, 0x02, 0x02}));
  EXPECT_EQ(FramesWithCode(*unit_, kdt::kCmdSetInput).size(), 0u);  // nothing yet

  ExpectAnswer(*panel, {0x79, 0x00, 0x05}, Data({0x7B, 0x00, 0x05}));
  for (int destination : {0, 2}) {
    const std::optional<Swp08Item> connected = other->NextOf(0x04);
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->At(3), destination);
  }
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[2]), 2);
  EXPECT_EQ(kdt::InputOf(unit_->Status().state[0]), 2);
  ASSERT_TRUE(bridge_->WaitForLog("studio: take done, by swp08 127.0.0.1")) << bridge_->Log();
  for (int told = 0; told < 2; ++told) ASSERT_TRUE(panel->NextOf(0x04));
  // The group is spent; a cleared one is said cleared.
  ExpectAnswer(*panel, {0x79, 0x00, 0x05}, Data({0x7B, 0x02, 0x05}));
  ExpectAnswer(*panel, {0x78, 0x00, 0x00, 0x01, 0x01, 0x06},
               Data({0x7A, 0x00, 0x00, 0x01, 0x01, 0x06}));
  ExpectAnswer(*panel, {0x79, 0x01, 0x06}, Data({0x7B, 0x01, 0x06}));
}

// The link's own: DLE stuffing read, a bad checksum NAKed and the next
// message still read, a message too long for the protocol closing that
// client alone with one log line.
TEST_F(Swp08Test, TheLinkKeepsItsFraming) {
  StartRouters();
  auto panel = Swp08Client();
  auto other = Swp08Client(kOtherHost);
  // Destination 16 is a DLE in the data, and this checksum is one too
  // (0x01 + 0x70 + 0x7B + count 4 = 0xF0): both doubled, both read.
  ExpectAnswer(*panel, {0x01, 0x00, 0x70, 0x7B}, "");
  ExpectAnswer(*panel, {0x01, 0x00, 0x00, 0x10}, "");
  std::string bad = Swp08Frame({0x01, 0x00, 0x00, 0x00});
  bad[bad.size() - 3] ^= 0x01;
  ASSERT_TRUE(panel->Send(bad));
  const std::optional<Swp08Item> nak = panel->Next();
  ASSERT_TRUE(nak);
  EXPECT_EQ(nak->kind, Swp08Item::kNak);
  ExpectAnswer(*panel, {0x01, 0x00, 0x00, 0x00}, Data({0x03, 0x00, 0x00, 0x00, 0x00}));

  bridge_->Mark();
  ASSERT_TRUE(panel->Send(Data({0x10, 0x02}) + std::string(400, 'x')));
  EXPECT_TRUE(panel->ClosedWithin(kBridgeWaitMs));
  ASSERT_TRUE(bridge_->WaitForLog("closed: sent a message longer than the protocol's"))
      << bridge_->Log();
  EXPECT_EQ(bridge_->CountAfter(300, "longer than the protocol's"), 1);
  ExpectAnswer(*other, {0x01, 0x00, 0x00, 0x00}, Data({0x03, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace testsupport
