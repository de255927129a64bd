#include "service/server_address.h"

#include "core/util.h"

namespace halvex {

namespace {

std::string g_service_url;
std::string g_base_url;

}  // namespace

void pairing_set_server(const std::string& host) {
  g_service_url = text_cut("wss://" + host + "/ws", 256);
  g_base_url = "https://" + host;
}

const std::string& service_url() { return g_service_url; }
const std::string& server_base_url() { return g_base_url; }

}  // namespace halvex
