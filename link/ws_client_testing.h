// Test hooks for the WebSocket client. Never called by the product.

#pragma once

#include <cstdint>
#include <memory>

#include "platform/ws_transport.h"

namespace halvex {

// Later runs make their transport with `make` instead of
// ws_transport_create(); null restores the real one. Lets a test wrap the
// real transport to hold a run at a chosen point. Set it while no run is
// active.
using WsTransportFactory = std::unique_ptr<WsTransport> (*)();
void ws_set_transport_factory_for_testing(WsTransportFactory make);

}  // namespace halvex
