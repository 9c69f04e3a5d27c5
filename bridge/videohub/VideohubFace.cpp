#include "videohub/VideohubFace.h"

#include <algorithm>
#include <cstdio>

#include "RelayName.h"

namespace bridge {
namespace {

constexpr std::string_view kPreamble = "PROTOCOL PREAMBLE:";
constexpr std::string_view kDevice = "VIDEOHUB DEVICE:";
constexpr std::string_view kPing = "PING:";
constexpr std::string_view kVersion = "Version: 2.8";
constexpr std::string_view kModelName = "VORNEX KDT-212";
constexpr std::string_view kAck = "ACK\n\n";
constexpr std::string_view kNak = "NAK\n\n";

// The blocks that say a part of the router, line by line: one line per
// input or output.
enum class Part { kInputLabels, kOutputLabels, kLocks, kRouting };
constexpr Part kParts[] = {Part::kInputLabels, Part::kOutputLabels, Part::kLocks, Part::kRouting};

std::string_view HeaderOf(Part part) {
  switch (part) {
    case Part::kInputLabels:
      return "INPUT LABELS:";
    case Part::kOutputLabels:
      return "OUTPUT LABELS:";
    case Part::kLocks:
      return "VIDEO OUTPUT LOCKS:";
    case Part::kRouting:
      break;
  }
  return "VIDEO OUTPUT ROUTING:";
}

int LinesOf(Part part) {
  return part == Part::kInputLabels ? kRouterSources : kRouterDestinations;
}

char LockLetter(LockSeen lock) {
  switch (lock) {
    case LockSeen::kOwn:
      return 'O';
    case LockSeen::kLocked:
      return 'L';
    case LockSeen::kFree:
      break;
  }
  return 'U';
}

// The part's line for input or output `index` (0-based) as `owner` sees
// it; empty when there is none (a route not known).
std::string LineOf(Part part, const RouterView& view, int index, const std::string& owner) {
  const std::string number = std::to_string(index);
  if (part == Part::kInputLabels) return number + " " + view.sources[std::size_t(index)];
  const RouterDestination& destination = view.destinations[std::size_t(index)];
  switch (part) {
    case Part::kOutputLabels:
      return number + " " + destination.name;
    case Part::kLocks:
      return number + " " + LockLetter(LockAsSeen(destination, owner));
    default:
      break;
  }
  if (destination.source == 0) return "";
  return number + " " + std::to_string(destination.source - 1);
}

std::string Block(std::string_view header, const std::vector<std::string>& lines) {
  std::string text(header);
  text += '\n';
  for (const std::string& line : lines) text += line + '\n';
  return text + '\n';
}

// The part's lines that differ from `before`, or all of them.
std::vector<std::string> Lines(Part part, const RouterView& view, const std::string& owner,
                               const RouterView* before = nullptr) {
  std::vector<std::string> lines;
  for (int index = 0; index < LinesOf(part); ++index) {
    std::string line = LineOf(part, view, index, owner);
    if (line.empty()) continue;
    if (before != nullptr && line == LineOf(part, *before, index, owner)) continue;
    lines.push_back(std::move(line));
  }
  return lines;
}

// A decimal index below `count`.
bool ReadIndex(std::string_view text, int count, int& index) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  index = value;
  return value < count;
}

// "OUT rest": the output and what follows its one space.
bool SplitLine(const std::string& line, int& output, std::string_view& rest) {
  const std::size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  rest = std::string_view(line).substr(space + 1);
  return ReadIndex(std::string_view(line).substr(0, space), kRouterDestinations, output);
}

// 12 hexadecimal digits that stay the unit's while its id does.
std::string UniqueId(const std::string& id) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : id) hash = (hash ^ c) * 1099511628211ull;
  char text[13];
  std::snprintf(text, sizeof text, "%012llX",
                static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace

struct VideohubFace::HubClient : Client {
  TextBlocks blocks;
};

VideohubFace::VideohubFace(const UnitConfig& unit, Core& core, bool verbose)
    : RouterFace(unit, core, verbose, "videohub", kVideohubKey) {}

std::unique_ptr<RouterFace::Client> VideohubFace::NewClient() {
  return std::make_unique<HubClient>();
}

std::string VideohubFace::DeviceBlock() const {
  return Block(
      kDevice,
      {std::string("Device present: ") + (View().present ? "true" : "false"),
       "Model name: " + std::string(kModelName), "Friendly name: " + Config().id,
       "Unique ID: " + UniqueId(Config().id), "Video inputs: " + std::to_string(kRouterSources),
       "Video processing units: 0", "Video outputs: " + std::to_string(kRouterDestinations),
       "Video monitoring outputs: 0", "Serial ports: 0"});
}

std::string VideohubFace::WholeBlock(const std::string& header, const Client& client) const {
  if (header == kPreamble) return Block(kPreamble, {std::string(kVersion)});
  if (header == kDevice) return DeviceBlock();
  for (Part part : kParts) {
    if (header == HeaderOf(part)) return Block(header, Lines(part, View(), client.owner.Text()));
  }
  return "";
}

void VideohubFace::Greet(Client& client) {
  std::string text = WholeBlock(std::string(kPreamble), client) + DeviceBlock();
  for (Part part : kParts) text += WholeBlock(std::string(HeaderOf(part)), client);
  Send(client, text);
}

void VideohubFace::Received(Client& client, std::string_view bytes) {
  auto& blocks = static_cast<HubClient&>(client).blocks;
  blocks.Append(bytes);
  TextBlock block;
  for (;;) {
    switch (blocks.Take(block)) {
      case TextBlocks::Next::kNothing:
        return;
      case TextBlocks::Next::kLineTooLong:
        return Close(client, "sent a line over 1 KiB", true);
      case TextBlocks::Next::kTooManyLines:
        return Close(client, "sent a block of more than 64 lines", true);
      case TextBlocks::Next::kBlock:
        if (!Answer(client, block)) return;
        break;
    }
  }
}

// False when the client is gone.
bool VideohubFace::Answer(Client& client, const TextBlock& block) {
  if (block.header == kPing) return Send(client, kAck);
  if (block.header == HeaderOf(Part::kRouting)) return AnswerRoutes(client, block);
  if (block.header == HeaderOf(Part::kOutputLabels)) return AnswerLabels(client, block);
  if (block.header == HeaderOf(Part::kLocks)) return AnswerLocks(client, block);
  const std::string whole = WholeBlock(block.header, client);
  if (whole.empty() || !block.lines.empty()) return Send(client, kNak);
  return Send(client, std::string(kAck) + whole);
}

bool VideohubFace::AnswerRoutes(Client& client, const TextBlock& block) {
  if (block.lines.empty())
    return Send(client, std::string(kAck) + WholeBlock(block.header, client));
  std::vector<Route> routes;
  for (const std::string& line : block.lines) {
    int output = 0, input = 0;
    std::string_view rest;
    if (!SplitLine(line, output, rest) || !ReadIndex(rest, kRouterSources, input) ||
        std::any_of(routes.begin(), routes.end(),
                    [output](const Route& route) { return route.destination == output + 1; })) {
      return Send(client, kNak);
    }
    routes.push_back({output + 1, input + 1});
  }
  if (!Take(client, routes).Ok()) return Send(client, kNak);
  // What already stands changes nothing at the unit: its block now.
  std::vector<std::string> standing;
  for (const Route& route : routes) {
    if (View().present &&
        View().destinations[std::size_t(route.destination - 1)].source == route.source) {
      standing.push_back(LineOf(Part::kRouting, View(), route.destination - 1, ""));
    }
  }
  return Send(client, std::string(kAck) +
                          (standing.empty() ? "" : Block(HeaderOf(Part::kRouting), standing)));
}

bool VideohubFace::AnswerLabels(Client& client, const TextBlock& block) {
  if (block.lines.empty())
    return Send(client, std::string(kAck) + WholeBlock(block.header, client));
  struct NewName {
    int output;
    std::string name;
  };
  std::vector<NewName> renames;
  for (const std::string& line : block.lines) {
    int output = 0;
    std::string_view name;
    std::string bytes, problem;
    if (!SplitLine(line, output, name) || !kdt::EncodeRelayName(name, bytes, problem)) {
      return Send(client, kNak);
    }
    renames.push_back({output, std::string(name)});
  }
  bool done = true;
  for (const NewName& rename : renames) {
    done = Rename(client, rename.output + 1, rename.name).Ok() && done;
  }
  return Send(client, done ? kAck : kNak);
}

bool VideohubFace::AnswerLocks(Client& client, const TextBlock& block) {
  if (block.lines.empty())
    return Send(client, std::string(kAck) + WholeBlock(block.header, client));
  struct Change {
    int output;
    ProtectChange change;
  };
  std::vector<Change> changes;
  for (const std::string& line : block.lines) {
    int output = 0;
    std::string_view letter;
    if (!SplitLine(line, output, letter) || letter.size() != 1) return Send(client, kNak);
    const std::string_view letters = "OUF";
    const std::size_t which = letters.find(letter[0]);
    if (which == std::string_view::npos) return Send(client, kNak);
    const ProtectChange kinds[] = {ProtectChange::kHold, ProtectChange::kRelease,
                                   ProtectChange::kForce};
    changes.push_back({output, kinds[which]});
  }
  bool done = true;
  for (const Change& change : changes) {
    done = Protect(client, change.output + 1, change.change).Ok() && done;
  }
  return Send(client, done ? kAck : kNak);
}

void VideohubFace::Changed(const RouterView& before) {
  const RouterView& now = View();
  if (!before.present && now.present) {
    EachClient([this](Client& client) {
      std::string text = DeviceBlock();
      for (Part part : kParts) text += WholeBlock(std::string(HeaderOf(part)), client);
      Send(client, text);
    });
    return;
  }
  const bool gone = before.present && !now.present;
  EachClient([&](Client& client) {
    std::string text = gone ? Block(kDevice, {"Device present: false"}) : "";
    for (Part part : kParts) {
      const std::vector<std::string> lines = Lines(part, now, client.owner.Text(), &before);
      if (!lines.empty()) text += Block(HeaderOf(part), lines);
    }
    if (!text.empty()) Send(client, text);
  });
}

}  // namespace bridge
