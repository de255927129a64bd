// Connects the link's authentication (link/auth.h) to the service: the key
// is kept in the identity store (service/config.h) and the server's answer
// shows in the tray (service/tray.h). The link knows neither; this is the
// one place that joins them.
//
// Threads: call once on the main thread at start-up, before
// auth_init_keypair and before any connection.

#pragma once

namespace halvex {

// Hands authentication the identity store and the tray. service_main calls
// it; tests that run the handshake as the service does call it too.
void auth_wire_service();

}  // namespace halvex
