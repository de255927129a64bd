// The drone link: finds a DJI drone or remote controller on USB (first) or
// on a serial port, and relays its DUML traffic both ways as opaque bytes.
// The server drives it with "dji_connect_device", "dji_disconnect_device",
// "dji_tx" and "dji_get_status"; the agent answers with
// "dji_operation_result", "dji_device_info", "dji_ready", "dji_log" and
// relays what the device sends in "dji_rx".
//
// Threads: the handlers run on the connection thread. A connection attempt
// runs on a thread of its own (one at a time), and each link has a reader
// thread. One lock guards the link record; every link carries a generation
// number, and a thread acts only on the link it was started for. The port
// or USB handle is shared by the reader, the transmit handler and the
// record, and is closed when the last of them lets go of it.

#pragma once

#include "platform/printf_format.h"

namespace halvex {

// Registers "dji_connect_device", "dji_disconnect_device", "dji_tx" and
// "dji_get_status", in this order.
void dji_register_handlers();

// Formats the text (cut to 511 bytes), writes INFO "dji: <text>" and, while
// the agent holds a user id, sends "dji_log" {"message", "timestamp"}. Any
// thread.
void dji_log(const char* format, ...) HALVEX_PRINTF(1, 2);

}  // namespace halvex
