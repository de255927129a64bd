#include "link/proto.h"

#include <cstring>
#include <string>

#include "core/log.h"
#include "core/util.h"
#include "link/ws_client.h"

namespace halvex {

namespace {

struct HandlerEntry {
  char name[kHandlerNameBytes];
  EventHandler handler;
};

HandlerEntry g_handlers[kMaxHandlers];
int g_handler_count = 0;
EventHandler g_on_connected = nullptr;
EventHandler g_on_disconnected = nullptr;

}  // namespace

void proto_init() {
  g_handler_count = 0;
  g_on_connected = nullptr;
  g_on_disconnected = nullptr;
  ws_init(proto_on_message, proto_on_state);
}

void register_handler(const char* name, EventHandler handler) {
  if (std::strcmp(name, "_connected") == 0) {
    g_on_connected = handler;
    return;
  }
  if (std::strcmp(name, "_disconnected") == 0) {
    g_on_disconnected = handler;
    return;
  }
  if (g_handler_count >= kMaxHandlers) {
    log_msg(LOG_ERROR, "proto: too many handlers (max %d)", kMaxHandlers);
    return;
  }
  HandlerEntry& entry = g_handlers[g_handler_count++];
  std::string cut = text_cut(name, kHandlerNameBytes);
  std::memcpy(entry.name, cut.c_str(), cut.size() + 1);
  entry.handler = handler;
}

void send_event(const char* name, Json data) {
  Json envelope = json_object();
  json_add_string(envelope.get(), "e", name);
  json_add_item(envelope.get(), "d", data ? std::move(data) : json_object());
  std::string text = json_print(envelope.get());
  if (!text.empty()) ws_send_text(text.data(), text.size());
}

void proto_on_message(const char* text, size_t len) {
  Json message = json_parse(std::string_view(text, len));
  if (!message) {
    log_msg(LOG_WARN, "proto: invalid JSON");
    return;
  }
  const cJSON* name = json_get(message.get(), "e");
  if (!json_is_string(name)) return;
  std::string event = json_string_value(name);
  const cJSON* data = json_get(message.get(), "d");
  for (int i = 0; i < g_handler_count; i++) {
    if (event == g_handlers[i].name) {
      g_handlers[i].handler(data);
      return;
    }
  }
  log_msg(LOG_DEBUG, "proto: unhandled event '%s'", event.c_str());
}

void proto_on_state(bool connected) {
  log_msg(LOG_INFO, connected ? "proto: connected" : "proto: disconnected");
  EventHandler slot = connected ? g_on_connected : g_on_disconnected;
  if (slot != nullptr) slot(nullptr);
}

std::string request_base_url(const cJSON* request, const std::string& fallback) {
  for (const char* name : {"direct_url", "server_url"})
    if (json_is_string(json_get(request, name))) return json_get_string(request, name);
  return fallback;
}

}  // namespace halvex
