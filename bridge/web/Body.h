// A request's body as the interface takes it: a JSON object of exactly the
// members asked for, no more and no fewer.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <initializer_list>

namespace bridge {

bool ReadBody(const QByteArray& body, std::initializer_list<const char*> members,
              QJsonObject& object);

}  // namespace bridge
