#include "Protects.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"
#include "Relays.h"
#include "StatusJson.h"
#include "TextFile.h"

namespace bridge {
namespace {

constexpr const char* kNobody = "none";

// A protect as the file has it, or false for what is not one.
bool ReadProtect(const QJsonValue& value, std::string& unit, int& relay, Protect& protect) {
  const QJsonObject object = value.toObject();
  const std::string letter = object["relay"].toString().toStdString();
  unit = object["unit"].toString().toStdString();
  relay = letter.size() == 1 && letter[0] >= 'A' && letter[0] <= 'Z' ? kdt::RelayOfLetter(letter[0])
                                                                     : 0;
  protect = {object["by"].toString().toStdString(), object["since"].toString().toStdString()};
  return object.size() == 4 && !unit.empty() && relay != 0 && !protect.by.empty() &&
         object["since"].isString();
}

}  // namespace

std::string OwnerText(const std::string& owner) {
  if (owner.starts_with("web ")) return owner.substr(4);
  if (owner == "web") return "the page";
  if (owner == "mqtt") return "MQTT";
  return owner;
}

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

bool Protects::Allows(const std::string& unit, int relay, const std::string& owner) const {
  const Protect* protect = Of(unit, relay);
  return protect == nullptr || protect->by == owner;
}

Protects::Change Protects::Hold(const std::string& unit, int relay, const std::string& owner) {
  if (const Protect* protect = Of(unit, relay)) {
    return protect->by == owner ? Change::kAlready : Change::kHeldByOther;
  }
  held_[{unit, relay}] = {owner, EntryTime()};
  Save();
  Record(unit, relay, "protect", kNobody, owner, owner);
  return Change::kDone;
}

Protects::Change Protects::Release(const std::string& unit, int relay, const std::string& by,
                                   bool force) {
  const Protect* protect = Of(unit, relay);
  if (protect == nullptr) return Change::kAlready;
  if (protect->by != by && !force) return Change::kHeldByOther;
  const std::string owner = protect->by;
  held_.erase({unit, relay});
  Save();
  Record(unit, relay, owner == by ? "release" : "forced release", owner, kNobody, by);
  return Change::kDone;
}

void Protects::SetRecorder(std::function<void(LogEntry)> recorder) {
  recorder_ = std::move(recorder);
}

void Protects::Record(const std::string& unit, int relay, const std::string& change,
                      const std::string& from, const std::string& to, const std::string& by) {
  LogEntry entry{0,  EntryTime(), unit, std::string(1, kdt::RelayLetter(relay)), change, from,
                 to, by,          ""};
  Log(EntryLine(entry));
  if (recorder_) recorder_(std::move(entry));
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
    Protect protect;
    if (!ReadProtect(value, unit, relay, protect) ||
        !held_.emplace(Key{unit, relay}, protect).second) {
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
    json += (json.back() == '[' ? "\n" : ",\n") + std::string("{\"unit\":") +
            kdt::JsonText(key.first) + ",\"relay\":\"" + kdt::RelayLetter(key.second) +
            "\",\"by\":" + kdt::JsonText(protect.by) +
            ",\"since\":" + kdt::JsonText(protect.since) + "}";
  }
  std::string error;
  if (!kdt::WriteTextFile(file_, json + "]}\n", error)) {
    Log("protects: not kept across a restart: " + error);
  }
}

}  // namespace bridge
