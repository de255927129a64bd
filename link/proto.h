// The event protocol: every message is one JSON envelope {"e": name,
// "d": payload}. The dispatcher keeps a table of up to 64 handlers bound to
// event names, calls the first whose name matches a received event, and
// relays the WebSocket's connection changes to the "_connected" and
// "_disconnected" slots. send_event is the one way to send an event.
//
// Threads: register_handler runs on the main thread during start-up, before
// the first connection; the table is read without a lock afterwards.
// Handlers run on the connection thread, one at a time, in arrival order.
// send_event may be called from any thread.

#pragma once

#include <cstddef>
#include <string>

#include "core/json.h"

namespace halvex {

// Receives the event's "d" item (null when absent), owned by the dispatcher
// for the duration of the call only.
using EventHandler = void (*)(const cJSON* data);

constexpr int kMaxHandlers = 64;
constexpr size_t kHandlerNameBytes = 48;  // names are kept to 47 characters

// Empties the table and slots and hands the WebSocket client the two
// callbacks below.
void proto_init();

// Binds `name` to `handler`. "_connected" and "_disconnected" fill their
// slots (the last registration wins); others are appended to the table,
// cut to 47 characters. The 65th registration is refused with an ERROR.
void register_handler(const char* name, EventHandler handler);

// Sends {"e": name, "d": data}, with {} for null data. Takes ownership of
// `data` whether or not the send succeeds. The frame is valid UTF-8 whatever
// bytes the strings in `data` hold: json_print repairs them.
void send_event(const char* name, Json data);

// The WebSocket client's callbacks.
void proto_on_message(const char* text, size_t len);
void proto_on_state(bool connected);

// The server's https origin, as the service knows it. The jobs' handlers are
// registered before it is set, so they read it when a request arrives.
using ServerBaseUrlFn = const std::string& (*)();

// The base URL a request's uploads go to: its "direct_url" when that is a
// string, else its "server_url" when that is a string, else `fallback`
// (the server's base URL in the product).
std::string request_base_url(const cJSON* request, const std::string& fallback);

}  // namespace halvex
