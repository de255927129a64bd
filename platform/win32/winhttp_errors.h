// Readable causes for the WinHTTP error numbers the agent's connections
// meet most; others get the system's message. Shared by the WebSocket
// transport and the HTTP requests so both word a failure alike.
//
// Any thread; no state.

#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "platform/win32/text.h"

namespace halvex::win32 {

inline std::string winhttp_cause(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
      return "timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "host name not resolved";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "connection refused";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "connection reset";
    case ERROR_WINHTTP_OPERATION_CANCELLED:
      return "closed";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return "certificate verify failed";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return "TLS handshake failed";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "invalid server response";
    default:
      return error_text(code);
  }
}

}  // namespace halvex::win32
