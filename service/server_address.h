// Where the recovery server is: the WebSocket service URL and the https
// base URL that uploads and downloads fall back to. Set once at start-up,
// before any thread that reads them starts; read-only afterwards.

#pragma once

#include <string>

namespace halvex {

// Sets the server: the service URL becomes "wss://HOST/ws" (kept to 255
// characters) and the base URL "https://HOST". Call once at start-up.
void pairing_set_server(const std::string& host);

const std::string& service_url();
const std::string& server_base_url();

}  // namespace halvex
