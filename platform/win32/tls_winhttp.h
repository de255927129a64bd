// The one place where the trust chosen in platform/tls.h is applied to
// WinHTTP requests. The WebSocket transport and the HTTP requests both call
// it, so the two can never trust different certificates.
//
// With the system store WinHTTP checks the server's chain and name itself.
// With a pinned CA, WinHTTP is told to let a chain to an unknown root pass
// its own check (tls_prepare_request), and the caller must then check the
// server's certificate with tls_check_peer after the TLS handshake and
// before it sends anything that matters (a request body, WebSocket data):
// the chain must end at the pinned CA and name the host.
//
// Threads: any; each call builds what it needs of its own.

#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace halvex::win32 {

// Sets the request's security flags for the chosen trust. False with
// *error when a pinned CA cannot be loaded; the request must not be sent.
bool tls_prepare_request(HINTERNET request, std::string* error);

// Checks the server certificate of `request` (after WinHttpSendRequest has
// completed) against the pinned CA and `host`. True at once with the system
// store, which WinHTTP has already applied. False with *code (a WinHTTP or
// certificate error number) and *error ("certificate verify failed: ...").
bool tls_check_peer(HINTERNET request, const std::wstring& host, DWORD* code, std::string* error);

}  // namespace halvex::win32
