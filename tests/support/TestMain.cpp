// The tests' main: the socket layer started around GoogleTest's run, as every
// program starts it (Windows Sockets need it).
#include <gtest/gtest.h>

#include "TcpSockets.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  tcp::SockStartup();
  const int result = RUN_ALL_TESTS();
  tcp::SockCleanup();
  return result;
}
