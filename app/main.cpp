// kdt212-panel: the operator's console for the KDT-212 relay switch unit.
#include <QApplication>

#include "TcpSockets.h"
#include "UnitMain.h"
#include "UnitThread.h"

int main(int argc, char** argv) {
  tcp::SockStartup();
  int result = 0;
  {
    QApplication app(argc, argv);
    kdt::UnitThreadStartup();
    QGuiApplication::setApplicationDisplayName(kdt::kAppTitle);
    kdt::RegisterFonts();
    {
      kdt::TFormMain formMain;
      formMain.show();
      result = QApplication::exec();
    }  // FormDestroy: the settings are saved, then the session ends
    kdt::UnitThreadShutdown();
  }
  tcp::SockCleanup();
  return result;
}
