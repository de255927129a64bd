// The admin API of a running server as the command-line tools reach it: the
// address from the data folder's "listen" file, the admin token from
// "admin.token", and the server's own CA.
//
// Any thread; no state.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.h"
#include "server/net/net.h"

namespace halvex::server {

struct AdminApi {
  ClientRequest base;   // host, port, CA file and authorization filled in
  std::string address;  // the listen address as this machine reaches it ("127.0.0.1" for "0.0.0.0")
  uint16_t port = 0;
  bool loopback = false;  // the server listens on a loopback or wildcard address
};

// Reads the data folder of a running server. On failure returns nullopt
// with *error (a missing "listen" file adds "(is the server running?)").
std::optional<AdminApi> admin_api_open(const std::string& data_dir, std::string* error);

// One call of the admin API with an optional JSON body; the parsed reply
// when the status is 200, else null with *error (the reply's "error" member,
// or "server answered N").
Json admin_call(const AdminApi& api, const std::string& method, const std::string& target,
                const cJSON* body, int timeout_seconds, std::string* error);

// Sends `machine` the event `event` with payload `d` through /api/send;
// the server's reply, or null with *error.
Json admin_send(const AdminApi& api, const std::string& machine, const std::string& event, Json d,
                std::string* error);

// The https origin a machine is told to upload to or download from:
// `base_url` without trailing slashes when given, else this server as a
// machine here reaches it: its listen address, or with `localhost`
// "localhost" for a loopback or wildcard address (the name an agent that
// pins the server's certificate checks).
std::string admin_agent_origin(const AdminApi& api, const std::string& base_url,
                               bool localhost = true);

// `text` without the line ends and spaces at its end, read from `path`.
std::optional<std::string> read_trimmed(const std::string& path, std::string* error);

}  // namespace halvex::server
