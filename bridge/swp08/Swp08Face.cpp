#include "swp08/Swp08Face.h"

#include <algorithm>

#include "CodePage.h"

namespace bridge {
namespace {

// The commands, as the protocol numbers them: what a client sends and what
// the face answers with.
enum Command : std::uint8_t {
  kInterrogate = 0x01,
  kConnect = 0x02,
  kTally = 0x03,
  kConnected = 0x04,
  kProtectInterrogate = 0x0A,
  kProtectTally = 0x0B,
  kProtectConnect = 0x0C,
  kProtectConnected = 0x0D,
  kProtectDisconnect = 0x0E,
  kProtectDisconnected = 0x0F,
  kTallyDumpRequest = 0x15,
  kTallyDumpBytes = 0x16,
  kImplementationRequest = 0x61,
  kImplementation = 0x62,
  kSourceNamesRequest = 0x64,
  kDestinationNamesRequest = 0x66,
  kSourceNames = 0x6A,
  kDestinationNames = 0x6B,
  kConnectOnGo = 0x78,
  kGo = 0x79,
  kConnectOnGoAcknowledge = 0x7A,
  kGoDone = 0x7B,
  kSalvoInterrogate = 0x7C,
  kSalvoTally = 0x7D,
};

constexpr std::uint8_t kReceived[] = {
    kInterrogate,
    kConnect,
    kProtectInterrogate,
    kProtectConnect,
    kProtectDisconnect,
    kTallyDumpRequest,
    kImplementationRequest,
    kSourceNamesRequest,
    kDestinationNamesRequest,
    kConnectOnGo,
    kGo,
    kSalvoInterrogate,
};
constexpr std::uint8_t kSent[] = {
    kTally,          kConnected,      kProtectTally, kProtectConnected, kProtectDisconnected,
    kTallyDumpBytes, kImplementation, kSourceNames,  kDestinationNames, kConnectOnGoAcknowledge,
    kGoDone,         kSalvoTally,
};

// Matrix 1, level 1: both 0 on the wire, in one byte (matrix in the high
// nibble, level in the low).
constexpr std::uint8_t kOurMatrixLevel = 0x00;
// A source that is not known (the unit never reported the relay).
constexpr int kNoSource = 1023;
// The device number of an owner that is no client of this face.
constexpr int kOtherDevice = 1023;
constexpr int kMostSalvos = 128;

// What a protect tally says of the protect.
enum ProtectDetails : std::uint8_t { kNotProtected = 0, kProtected = 1, kOemProtected = 3 };
// What a go done says.
enum GoDone : std::uint8_t { kSet = 0, kCleared = 1, kNoneStored = 2 };
// What a salvo tally says of the index asked for.
enum Validity : std::uint8_t { kValidMore = 0, kValidLast = 1, kInvalid = 2 };

constexpr char kDleNak[] = {char(kDle), char(kNak)};
constexpr char kDleAck[] = {char(kDle), char(kAck)};

char B(int value) {
  return static_cast<char>(value & 0xFF);
}

std::uint8_t At(const std::string& data, std::size_t index) {
  return static_cast<std::uint8_t>(data[index]);
}

// A number of up to 1023 from its DIV 128 bits in a multiplier byte (bits
// 4-6 or 0-2) and its MOD 128 byte.
int Number(std::uint8_t multiplier, bool high, std::uint8_t mod) {
  return (high ? (multiplier >> 4) & 7 : multiplier & 7) * 128 + (mod & 0x7F);
}

std::uint8_t Multiplier(int high, int low) {
  return static_cast<std::uint8_t>((high / 128) << 4 | (low / 128));
}

std::string Crosspoint(std::uint8_t command, int destination, int source) {
  return {B(command), B(kOurMatrixLevel), B(Multiplier(destination, source)), B(destination % 128),
          B(source % 128)};
}

// The device numbers of this face's hosts, in the order they first came.
std::map<std::string, int>& DeviceNumbers() {
  static std::map<std::string, int> numbers;
  return numbers;
}

int DeviceOf(const std::string& owner) {
  const auto found = DeviceNumbers().find(owner);
  return found == DeviceNumbers().end() ? kOtherDevice : found->second;
}

struct ProtectSeen {
  std::uint8_t details = kNotProtected;
  int device = 0;
};

ProtectSeen ProtectOf(const RouterDestination& destination) {
  if (!destination.protectedBy.empty()) return {kProtected, DeviceOf(destination.protectedBy)};
  if (destination.lockedAtUnit) return {kOemProtected, kOtherDevice};
  return {};
}

std::string ProtectMessage(std::uint8_t command, int destination, const ProtectSeen& seen) {
  return {B(command),           B(seen.details),
          B(kOurMatrixLevel),   B(Multiplier(destination, seen.device)),
          B(destination % 128), B(seen.device % 128)};
}

// The 4, 8 or 12 characters of a name: each outside printable ASCII as one
// "?", cut or padded with spaces.
std::string FixedName(const std::string& utf8, std::size_t length) {
  std::u32string characters;
  if (!kdt::Utf8Characters(utf8, characters)) characters.clear();
  std::string name;
  for (char32_t c : characters) {
    if (name.size() == length) break;
    name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  name.resize(length, ' ');
  return name;
}

// The length of names a code asks for (0, 1, 2); 0 for another code.
std::size_t NameLength(std::uint8_t code) {
  return code <= 2 ? 4 + std::size_t(code) * 4 : 0;
}

std::string NamesMessage(std::uint8_t command, std::uint8_t code,
                         const std::vector<std::string>& names) {
  std::string data = {B(command), B(kOurMatrixLevel), B(code), 0, 0, B(int(names.size()))};
  for (const std::string& name : names) data += FixedName(name, NameLength(code));
  return data;
}

std::vector<std::string> SourceNames(const RouterView& view) {
  return {view.sources.begin(), view.sources.end()};
}

std::vector<std::string> DestinationNames(const RouterView& view) {
  std::vector<std::string> names;
  for (const RouterDestination& destination : view.destinations) names.push_back(destination.name);
  return names;
}

int SourceOf(const RouterView& view, int destination) {
  const int source = view.destinations[std::size_t(destination)].source;
  return source == 0 ? kNoSource : source - 1;
}

}  // namespace

struct Swp08Face::PanelClient : Client {
  Swp08Stream stream;
  // The name lengths it last asked for (a code), so that new names reach
  // it as it asked for them; -1 while it has not.
  int sourceNames = -1;
  int destinationNames = -1;
};

Swp08Face::Swp08Face(const UnitConfig& unit, Core& core, bool verbose)
    : RouterFace(unit, core, verbose, "swp08", kSwp08Key) {}

std::unique_ptr<RouterFace::Client> Swp08Face::NewClient() {
  return std::make_unique<PanelClient>();
}

// A router says nothing until asked; the host has its device number from
// now on.
void Swp08Face::Greet(Client& client) {
  std::map<std::string, int>& numbers = DeviceNumbers();
  const int next = std::min(int(numbers.size()) + 1, kOtherDevice - 1);
  numbers.emplace(client.owner.Text(), next);
}

void Swp08Face::Received(Client& client, std::string_view bytes) {
  Swp08Stream& stream = static_cast<PanelClient&>(client).stream;
  stream.Append(bytes);
  std::string data;
  for (;;) {
    switch (stream.Take(data)) {
      case Swp08Stream::Next::kNothing:
        return;
      case Swp08Stream::Next::kBad:
        if (!Send(client, std::string_view(kDleNak, 2))) return;
        break;
      case Swp08Stream::Next::kTooLong:
        return Close(client, "sent a message longer than the protocol's", true);
      case Swp08Stream::Next::kTooStray:
        return Close(
            client,
            "sent " + std::to_string(Swp08Stream::kMostStray) + " bytes outside any message", true);
      case Swp08Stream::Next::kMessage:
        if (!Send(client, std::string_view(kDleAck, 2)) || !Answer(client, data)) return;
        break;
    }
  }
}

bool Swp08Face::SendData(Client& client, const std::string& data) {
  return Send(client, Swp08Message(data));
}

void Swp08Face::TellAll(const std::string& data) {
  const std::string message = Swp08Message(data);
  EachClient([this, &message](Client& client) { Send(client, message); });
}

// False when the client is gone. What is not for this router (another
// matrix or level, a number out of range, too short) has had its ACK and
// gets nothing more.
bool Swp08Face::Answer(Client& client, const std::string& data) {
  switch (At(data, 0)) {
    case kInterrogate: {
      if (data.size() < 4 || At(data, 1) != kOurMatrixLevel) return true;
      const int destination = Number(At(data, 2), true, At(data, 3));
      if (destination >= kRouterDestinations) return true;
      return SendData(client, Crosspoint(kTally, destination, SourceOf(View(), destination)));
    }
    case kConnect:
      return AnswerConnect(client, data);
    case kTallyDumpRequest: {
      if (data.size() < 2 || At(data, 1) != kOurMatrixLevel) return true;
      std::string dump = {B(kTallyDumpBytes), B(kOurMatrixLevel), B(kRouterDestinations), 0};
      for (int destination = 0; destination < kRouterDestinations; ++destination) {
        dump += B(std::min(SourceOf(View(), destination), 0xFF));
      }
      return SendData(client, dump);
    }
    case kProtectInterrogate:
    case kProtectConnect:
    case kProtectDisconnect:
      return AnswerProtect(client, data);
    case kSourceNamesRequest:
    case kDestinationNamesRequest:
      return AnswerNames(client, data);
    case kConnectOnGo:
      return AnswerSalvo(client, data);
    case kGo:
      return AnswerGo(client, data);
    case kSalvoInterrogate:
      return AnswerSalvoInterrogate(client, data);
    case kImplementationRequest: {
      std::string answer = {B(kImplementation), B(int(std::size(kReceived)))};
      for (std::uint8_t command : kReceived) answer += B(command);
      answer += B(int(std::size(kSent)));
      for (std::uint8_t command : kSent) answer += B(command);
      return SendData(client, answer);
    }
    default:
      return true;
  }
}

// Connected once the unit shows it, to every client (Changed); at once to
// the sender for what already stands; a tally of what stands when it
// cannot be carried out.
bool Swp08Face::AnswerConnect(Client& client, const std::string& data) {
  if (data.size() < 5 || At(data, 1) != kOurMatrixLevel) return true;
  const int destination = Number(At(data, 2), true, At(data, 3));
  const int source = Number(At(data, 2), false, At(data, 4));
  if (destination >= kRouterDestinations || source >= kRouterSources) return true;
  if (!Take(client, {{destination + 1, source + 1}}).Ok()) {
    return SendData(client, Crosspoint(kTally, destination, SourceOf(View(), destination)));
  }
  if (View().present && SourceOf(View(), destination) == source) {
    return SendData(client, Crosspoint(kConnected, destination, source));
  }
  return true;
}

// A protect or its release goes to every client once made (Changed); one
// that changes nothing is said to the sender alone; one refused gets the
// protect tally of what stands. A release of another's protect is a forced
// one.
bool Swp08Face::AnswerProtect(Client& client, const std::string& data) {
  if (data.size() < 4 || At(data, 1) != kOurMatrixLevel) return true;
  const int destination = Number(At(data, 2), true, At(data, 3));
  if (destination >= kRouterDestinations) return true;
  const RouterDestination& standing = View().destinations[std::size_t(destination)];
  const std::uint8_t command = At(data, 0);
  if (command != kProtectInterrogate) {
    const bool hold = command == kProtectConnect;
    const bool others =
        !standing.protectedBy.empty() && standing.protectedBy != client.owner.Text();
    const ProtectChange change = hold     ? ProtectChange::kHold
                                 : others ? ProtectChange::kForce
                                          : ProtectChange::kRelease;
    const ProtectSeen before = ProtectOf(standing);
    if (Protect(client, destination + 1, change).Ok()) {
      const bool changes = hold ? standing.protectedBy.empty() : !standing.protectedBy.empty();
      if (changes) return true;  // Changed tells everyone
      return SendData(client, ProtectMessage(hold ? kProtectConnected : kProtectDisconnected,
                                             destination, before));
    }
  }
  return SendData(client, ProtectMessage(kProtectTally, destination, ProtectOf(standing)));
}

bool Swp08Face::AnswerNames(Client& client, const std::string& data) {
  if (data.size() < 3 || (At(data, 1) >> 4) != 0 || NameLength(At(data, 2)) == 0) return true;
  auto& panel = static_cast<PanelClient&>(client);
  const std::uint8_t code = At(data, 2);
  if (At(data, 0) == kSourceNamesRequest) {
    panel.sourceNames = code;
    return SendData(client, NamesMessage(kSourceNames, code, SourceNames(View())));
  }
  panel.destinationNames = code;
  return SendData(client, NamesMessage(kDestinationNames, code, DestinationNames(View())));
}

// A crosspoint stored for the salvo's go, in place of one stored for the
// same destination.
bool Swp08Face::AnswerSalvo(Client& client, const std::string& data) {
  if (data.size() < 6 || At(data, 1) != kOurMatrixLevel || At(data, 5) >= kMostSalvos) {
    return true;
  }
  const int destination = Number(At(data, 2), true, At(data, 3));
  const int source = Number(At(data, 2), false, At(data, 4));
  if (destination >= kRouterDestinations || source >= kRouterSources) return true;
  std::vector<Route>& salvo = salvos_[At(data, 5)];
  std::erase_if(salvo, [&](const Route& route) { return route.destination == destination + 1; });
  salvo.push_back({destination + 1, source + 1});
  return SendData(client, std::string{B(kConnectOnGoAcknowledge)} + data.substr(1, 5));
}

// Set takes the salvo's crosspoints at once, all or nothing, as a route
// block of the text face; either way the group is emptied.
bool Swp08Face::AnswerGo(Client& client, const std::string& data) {
  if (data.size() < 3 || At(data, 1) > 1 || At(data, 2) >= kMostSalvos) return true;
  const std::uint8_t number = At(data, 2);
  const auto found = salvos_.find(number);
  if (found == salvos_.end() || found->second.empty()) {
    return SendData(client, {B(kGoDone), B(kNoneStored), B(number)});
  }
  const std::vector<Route> routes = std::move(found->second);
  salvos_.erase(found);
  if (At(data, 1) == 1) return SendData(client, {B(kGoDone), B(kCleared), B(number)});
  const bool taken = Take(client, routes).Ok();
  for (const Route& route : routes) {
    const int destination = route.destination - 1;
    const int standing = SourceOf(View(), destination);
    if (!taken) {
      if (!SendData(client, Crosspoint(kTally, destination, standing))) return false;
    } else if (View().present && standing == route.source - 1) {
      if (!SendData(client, Crosspoint(kConnected, destination, standing))) return false;
    }
  }
  return SendData(client, {B(kGoDone), B(taken ? kSet : kNoneStored), B(number)});
}

bool Swp08Face::AnswerSalvoInterrogate(Client& client, const std::string& data) {
  if (data.size() < 3 || At(data, 1) >= kMostSalvos) return true;
  const std::uint8_t number = At(data, 1), index = At(data, 2);
  const auto found = salvos_.find(number);
  const std::size_t count = found == salvos_.end() ? 0 : found->second.size();
  if (index >= count) {
    return SendData(
        client, {B(kSalvoTally), B(kOurMatrixLevel), 0, 0, 0, B(number), B(index), B(kInvalid)});
  }
  const Route& route = found->second[index];
  std::string tally = Crosspoint(kSalvoTally, route.destination - 1, route.source - 1);
  tally += {B(number), B(index), B(std::size_t(index) + 1 == count ? kValidLast : kValidMore)};
  return SendData(client, tally);
}

void Swp08Face::Changed(const RouterView& before) {
  const RouterView& now = View();
  for (int destination = 0; destination < kRouterDestinations; ++destination) {
    const int source = SourceOf(now, destination);
    if (source != SourceOf(before, destination) && source != kNoSource) {
      TellAll(Crosspoint(kConnected, destination, source));
    }
    const ProtectSeen protect = ProtectOf(now.destinations[std::size_t(destination)]);
    const ProtectSeen was = ProtectOf(before.destinations[std::size_t(destination)]);
    if (protect.details != was.details || protect.device != was.device) {
      // A release names whose protect it was.
      const bool released = protect.details == kNotProtected;
      TellAll(ProtectMessage(released ? kProtectDisconnected : kProtectConnected, destination,
                             released ? ProtectSeen{kNotProtected, was.device} : protect));
    }
  }
  const bool sources = SourceNames(now) != SourceNames(before);
  const bool destinations = DestinationNames(now) != DestinationNames(before);
  if (!sources && !destinations) return;
  EachClient([&](Client& client) {
    const auto& panel = static_cast<const PanelClient&>(client);
    if (sources && panel.sourceNames >= 0 &&
        !SendData(client,
                  NamesMessage(kSourceNames, std::uint8_t(panel.sourceNames), SourceNames(now)))) {
      return;
    }
    if (destinations && panel.destinationNames >= 0) {
      SendData(client, NamesMessage(kDestinationNames, std::uint8_t(panel.destinationNames),
                                    DestinationNames(now)));
    }
  });
}

}  // namespace bridge
