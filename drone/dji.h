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

#include <chrono>

#include "platform/printf_format.h"

namespace halvex {

// The link's waits and windows. The defaults are the product's; tests pass
// shorter ones so that a run takes a fraction of the time.
struct DjiTimings {
  using ms = std::chrono::milliseconds;
  // Serial search, per port and baud rate: a read ends after a gap of
  // `search_gap` once bytes came, or after `search_timeout` in all. After
  // the probe frame is written, `probe_settle` passes before the answer is
  // read.
  ms search_gap{500};
  ms search_timeout{2000};
  ms probe_settle{300};
  // The USB probe waits this long for the answer to its byte 0x55.
  ms usb_probe_timeout{500};
  // The reader: a serial read ends after a gap of `read_gap` once bytes
  // came, or after `read_timeout` in all; a USB read after `read_timeout`.
  // A failed read is followed by `error_pause`.
  ms read_gap{500};
  ms read_timeout{500};
  ms error_pause{100};
  // Bytes read are sent once more than `batch_window` has passed since the
  // last batch went out (or since the reader started).
  ms batch_window{199};
  // A disconnect waits this long at most for the reader to stop.
  ms reader_stop_wait{1000};
  // Between "Connected via ..." and "dji_ready".
  ms ready_settle{500};
};

// Registers "dji_connect_device", "dji_disconnect_device", "dji_tx" and
// "dji_get_status", in this order. Connection attempts and readers started
// from then on use `timings`.
void dji_register_handlers(const DjiTimings& timings = DjiTimings{});

// Formats the text (cut to 511 bytes), writes INFO "dji: <text>" and, while
// the agent holds a user id, sends "dji_log" {"message", "timestamp"}. Any
// thread.
void dji_log(const char* format, ...) HALVEX_PRINTF(1, 2);

}  // namespace halvex
