#include "server/cli/admin_client.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "server/http/web.h"

namespace halvex::server {

std::optional<std::string> read_trimmed(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

std::optional<AdminApi> admin_api_open(const std::string& data_dir, std::string* error) {
  std::optional<std::string> listen = read_trimmed(data_dir + "/listen", error);
  if (!listen) {
    *error += " (is the server running?)";
    return std::nullopt;
  }
  std::optional<std::string> token = read_trimmed(data_dir + "/admin.token", error);
  if (!token) return std::nullopt;
  std::optional<std::pair<std::string, uint16_t>> where = parse_host_port(*listen);
  if (!where) {
    *error = data_dir + "/listen: not ADDR:PORT";
    return std::nullopt;
  }
  const std::string& addr = where->first;
  AdminApi api;
  api.loopback = addr == "0.0.0.0" || addr == "127.0.0.1" || addr == "::" || addr == "::1";
  api.address = addr == "0.0.0.0" ? "127.0.0.1" : addr == "::" ? "::1" : addr;
  api.port = where->second;
  api.base.host = api.address;
  api.base.port = api.port;
  api.base.ca_file = data_dir + "/ca.pem";
  api.base.authorization = "Bearer " + *token;
  return api;
}

Json admin_call(const AdminApi& api, const std::string& method, const std::string& target,
                const cJSON* body, int timeout_seconds, std::string* error) {
  ClientRequest rq = api.base;
  rq.method = method;
  rq.target = target;
  rq.timeout_seconds = timeout_seconds;
  if (body) {
    rq.body = json_print(body);
    rq.content_type = "application/json";
  }
  std::optional<ClientReply> reply = https_request(rq, error);
  if (!reply) return nullptr;
  Json parsed = json_parse(reply->body);
  if (reply->status != 200) {
    std::string text = json_get_string(parsed.get(), "error");
    *error = text.empty() ? "server answered " + std::to_string(reply->status) : text;
    return nullptr;
  }
  if (!parsed) *error = "the server's answer is not JSON";
  return parsed;
}

Json admin_send(const AdminApi& api, const std::string& machine, const std::string& event, Json d,
                std::string* error) {
  Json body = json_object();
  json_add_string(body.get(), "machine_id", machine);
  json_add_string(body.get(), "e", event);
  json_add_item(body.get(), "d", std::move(d));
  return admin_call(api, "POST", "/api/send", body.get(), 30, error);
}

std::string admin_agent_origin(const AdminApi& api, const std::string& base_url, bool localhost) {
  std::string url = base_url;
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (!url.empty()) return url;
  const std::string& addr = api.address;
  std::string host = localhost && api.loopback             ? "localhost"
                     : addr.find(':') != std::string::npos ? "[" + addr + "]"
                                                           : addr;
  return "https://" + host + ":" + std::to_string(api.port);
}

}  // namespace halvex::server
