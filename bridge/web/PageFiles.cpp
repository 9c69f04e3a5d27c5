#include "web/PageFiles.h"

#include <QFile>

// The page's files, in a static library's resources, which the linker
// would otherwise leave out. Outside any namespace, as Qt declares it.
static void UsePageResources() {
  Q_INIT_RESOURCE(page);
}

namespace bridge {
namespace {

constexpr const char* kIndex = "/index.html";

struct FileType {
  const char* extension;
  const char* type;
};
constexpr FileType kTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
};

}  // namespace

void ServePageFile(const std::string& path, WebReply& reply) {
  static const bool used = (UsePageResources(), true);
  (void)used;
  const std::string name = path == "/" ? kIndex : path;
  QFile file(QString::fromStdString(":/page" + name));
  for (const FileType& type : kTypes) {
    if (!name.ends_with(type.extension) || !file.open(QIODevice::ReadOnly)) continue;
    return reply.File(file.readAll(), type.type);
  }
  reply.Error(404, "nothing here");
}

}  // namespace bridge
