#include "core/Protects.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Json.h"
#include "Platform.h"
#include "Relays.h"
#include "TextFile.h"
#include "core/Log.h"

namespace bridge {
namespace {

constexpr const char* kNobody = "none";

// A protect as the file has it, or false for what is not one.
bool ReadProtect(const QJsonValue& value, std::string& unit, int& relay,
                 std::optional<Protect>& protect) {
  const QJsonObject object = value.toObject();
  const std::string letter = object["relay"].toString().toStdString();
  unit = object["unit"].toString().toStdString();
  relay = letter.size() == 1 && letter[0] >= 'A' && letter[0] <= 'Z' ? kdt::RelayOfLetter(letter[0])
                                                                     : 0;
  const std::optional<Owner> by = Owner::Read(object["by"].toString().toStdString());
  if (object.size() != 4 || unit.empty() || relay == 0 || !by || !object["since"].isString()) {
    return false;
  }
  protect = Protect{*by, object["since"].toString().toStdString()};
  return true;
}

}  // namespace

void Protects::KeepIn(const std::string& file) {
  if (kept_ && file == file_) return;
  file_ = file;
  if (std::exchange(kept_, true)) return Save();
  if (file_.empty()) {
    Log("protects: kept only while the bridge runs: no STATE= in [BRIDGE], and no state directory");
  } else {
    Load();
  }
}

const Protect* Protects::Of(const std::string& unit, int relay) const {
  if (held_.empty()) return nullptr;  // as mostly: every poll of every client asks
  const auto found = held_.find({unit, relay});
  return found == held_.end() ? nullptr : &found->second;
}

Result Protects::Check(const std::string& unit, int relay, const Owner& owner) const {
  const Protect* protect = Of(unit, relay);
  if (protect == nullptr || protect->by == owner) return Result::Done();
  return Result::Refused(Refusal::kProtected,
                         kdt::RelayLabel(relay) + " is protected by " + protect->by.InWords());
}

Result Protects::Hold(const std::string& unit, int relay, const Owner& owner) {
  if (Of(unit, relay) != nullptr) return Check(unit, relay, owner);
  held_.insert_or_assign(Key{unit, relay}, Protect{owner, EntryTime()});
  Save();
  Recorded(unit, relay, "protect", kNobody, owner.Text(), owner);
  return Result::Done();
}

Result Protects::Release(const std::string& unit, int relay, const Owner& by, bool force) {
  const Protect* protect = Of(unit, relay);
  if (protect == nullptr) return Result::Done();
  if (!force) {
    if (Result check = Check(unit, relay, by); !check.Ok()) return check;
  }
  const Owner owner = protect->by;
  held_.erase({unit, relay});
  Save();
  Recorded(unit, relay, owner == by ? "release" : "forced release", owner.Text(), kNobody, by);
  return Result::Done();
}

void Protects::Recorded(const std::string& unit, int relay, const std::string& change,
                        const std::string& from, const std::string& to, const Owner& by) {
  record_.Add({.unit = unit,
               .relay = std::string(1, kdt::RelayLetter(relay)),
               .change = change,
               .from = from,
               .to = to,
               .by = by.Text()});
}

void Protects::Load() {
  std::string text, error;
  if (!kdt::ReadTextFile(file_, text, error)) return SetAside(error);
  if (text.empty()) return;  // none kept yet
  QJsonParseError parse{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &parse);
  if (parse.error != QJsonParseError::NoError || !document.isObject() ||
      !document.object()["protects"].isArray()) {
    return SetAside("it is not a JSON object with \"protects\"");
  }
  for (const QJsonValue& value : document.object()["protects"].toArray()) {
    std::string unit;
    int relay = 0;
    std::optional<Protect> protect;
    if (!ReadProtect(value, unit, relay, protect) ||
        !held_.emplace(Key{unit, relay}, *protect).second) {
      held_.clear();
      return SetAside(
          "a protect in it is not {\"unit\",\"relay\",\"by\",\"since\"}, or is there twice");
    }
  }
  if (!held_.empty()) Log("protects: " + std::to_string(held_.size()) + " kept in " + file_);
}

// What cannot be read is kept for whoever looks into it, never used and
// never lost: the bridge starts with no relay protected.
void Protects::SetAside(const std::string& reason) {
  const std::string aside =
      file_ + ".damaged-" + kdt::TimeText(kdt::LocalTimeNow(), "%Y%m%dT%H%M%S");
  const bool moved = std::rename(file_.c_str(), aside.c_str()) == 0;
  Log("protects: " + file_ + " cannot be read (" + reason + "); " +
      (moved ? "set aside as " + aside
             : "it could not be set aside: " + std::string(std::strerror(errno))) +
      "; no relay is protected");
}

void Protects::Save() {
  if (file_.empty()) return;
  std::string json = "{\"protects\":[";
  for (const auto& [key, protect] : held_) {
    json += (json.back() == '[' ? "\n" : ",\n") +
            kdt::JsonObject()
                .AddText("unit", key.first)
                .AddText("relay", std::string(1, kdt::RelayLetter(key.second)))
                .AddText("by", protect.by.Text())
                .AddText("since", protect.since)
                .Text();
  }
  std::string error;
  if (!kdt::WriteTextFile(file_, json + "]}\n", error)) {
    Log("protects: not kept across a restart: " + error);
  }
}

}  // namespace bridge
