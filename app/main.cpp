// kdt212-panel: the operator's console for the KDT-212 relay switch unit.
#include <QApplication>

#include "TcpSockets.h"
#include "TerminationSignals.h"
#include "UnitMain.h"
#include "UnitThread.h"

int main(int argc, char** argv) {
  tcp::SockStartup();
  int result = 0;
  {
    QApplication app(argc, argv);
    kdt::UnitThreadStartup();
    kdt::RegisterFonts();
    kdt::TerminationSignals termination;
    {
      kdt::TFormMain formMain;
      formMain.show();
      // A signal during start-up (while a message box waits) skips the loop.
      if (!termination.Requested()) result = QApplication::exec();
    }  // FormDestroy: the settings are saved, then the session ends
    kdt::UnitThreadShutdown();
  }
  tcp::SockCleanup();
  return result;
}
