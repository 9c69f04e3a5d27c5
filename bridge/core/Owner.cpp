#include "core/Owner.h"

namespace bridge {

std::optional<Owner> Owner::Read(std::string_view text) {
  const std::size_t space = text.find(' ');
  const std::string_view face = text.substr(0, space);
  const std::string_view who = space == std::string_view::npos ? "" : text.substr(space + 1);
  if (face.empty() || (space != std::string_view::npos && who.empty())) return std::nullopt;
  return Owner(std::string(face), std::string(who));
}

std::string Owner::Text() const {
  return who_.empty() ? face_ : face_ + " " + who_;
}

std::string Owner::InWords() const {
  if (face_ == "web") return who_.empty() ? "the page" : who_;
  if (face_ == "mqtt") return "MQTT";
  return Text();
}

std::string Cause::Text() const {
  if (salvo.empty()) return owner.Text();
  return owner.Text() + (putBack ? ", put back, salvo " : ", salvo ") + salvo;
}

}  // namespace bridge
