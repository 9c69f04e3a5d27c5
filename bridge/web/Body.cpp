#include "web/Body.h"

#include <QJsonDocument>
#include <algorithm>

namespace bridge {

bool ReadBody(const QByteArray& body, std::initializer_list<const char*> members,
              QJsonObject& object) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(body, &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  object = document.object();
  if (std::size_t(object.size()) != members.size()) return false;
  return std::all_of(members.begin(), members.end(),
                     [&](const char* member) { return object.contains(member); });
}

}  // namespace bridge
