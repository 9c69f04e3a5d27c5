// What the socket layer's common part needs of the platform's own file
// (TcpSocketsPosix.cpp or TcpSocketsWindows.cpp); nothing outside the layer
// sees it.
#pragma once

#include <string>

#include "TcpSockets.h"

namespace tcp::detail {

// The platform's code of the call that failed last: errno, WSAGetLastError.
int PlatformError();
// A connect on a non-blocking socket that goes on in the background.
bool IsConnectPending(int error);
// The system's description of one of its codes, as messages give it.
std::string SystemErrorText(int code);
// The setsockopt that SockSetOptions calls: the platform's, or a test's.
testing::SetOptionFn SetOptionHook();
// A negative length is refused with the platform's EINVAL, and nothing moves.
bool RefuseNegative(int length);

}  // namespace tcp::detail
