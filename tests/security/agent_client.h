// A hand-made agent for attacking the real recovery-server: one WebSocket
// over the agent's own transport (real TLS), its own Ed25519 key and
// machine id, and the few events of pairing and authentication sent
// exactly as a client of our choosing would send them.
//
// One test thread drives each AgentClient. The caller has trusted the
// server's CA (tls_set_ca_file) before connect().

#pragma once

#include <sodium.h>

#include <memory>
#include <optional>
#include <string>

#include "core/codec.h"
#include "core/json.h"
#include "platform/ws_transport.h"

namespace halvex::testing {

class AgentClient {
 public:
  explicit AgentClient(std::string machine_id) : machine_id_(std::move(machine_id)) {
    crypto_sign_keypair(pk_, sk_);
  }
  // Takes over another client's key: the real machine reconnecting.
  void use_key_of(const AgentClient& other) {
    std::copy(std::begin(other.pk_), std::end(other.pk_), pk_);
    std::copy(std::begin(other.sk_), std::end(other.sk_), sk_);
  }

  const std::string& machine_id() const { return machine_id_; }
  std::string public_key() const { return base64_encode(pk_, sizeof pk_); }

  // `host` is the server's name or address as its certificate names it;
  // another loopback address makes another client address.
  bool connect(uint16_t port, const std::string& host = "localhost") {
    t_ = ws_transport_create();
    WsEndpoint ep;
    ep.host = host;
    ep.port = port;
    ep.path = "/ws";
    ep.user_agent = "Halvex_Service/1.0";
    return t_->connect(ep).step == WsConnectStep::kOk;
  }
  void close() {
    if (t_) t_->close();
  }
  WsTransport& transport() { return *t_; }

  bool send(const std::string& name, Json d) {
    Json env = json_object();
    json_add_string(env.get(), "e", name);
    json_add_item(env.get(), "d", std::move(d));
    std::string text = json_print(env.get());
    unsigned long code = 0;
    return t_->write_text(text.data(), text.size(), &code);
  }

  bool pair_request(const std::string& code) {
    Json d = json_object();
    json_add_string(d.get(), "code", code);
    json_add_string(d.get(), "public_key", public_key());
    json_add_string(d.get(), "platform", "Linux");
    json_add_string(d.get(), "version", "0.2.1");
    json_add_string(d.get(), "build", "native");
    json_add_string(d.get(), "machine_id", machine_id_);
    json_add_string(d.get(), "hostname", "attack-" + machine_id_);
    return send("service_pair_request", std::move(d));
  }

  // The handshake with this client's key: "auth_ok" or "auth_fail" and its
  // error, as "auth_ok" / "auth_fail: ERROR"; "" when the link ended.
  std::string authenticate() {
    Json d = json_object();
    json_add_string(d.get(), "machine_id", machine_id_);
    if (!send("service_auth_key", std::move(d))) return "";
    Json msg = next_event();
    std::string e = json_get_string(msg.get(), "e");
    if (e != "auth_challenge") return describe(msg);
    std::string challenge = json_get_string(json_get(msg.get(), "d"), "challenge");
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(challenge.data()),
                         challenge.size(), sk_);
    Json resp = json_object();
    json_add_string(resp.get(), "signature", base64_encode(sig, sizeof sig));
    json_add_string(resp.get(), "public_key", public_key());
    if (!send("auth_response", std::move(resp))) return "";
    return describe(next_event());
  }

  // The next whole message as JSON; null when the link ended (*end says
  // how: kClose or kError).
  Json next_event(WsReadKind* end = nullptr) {
    std::string text;
    char buf[4096];
    for (;;) {
      WsReadResult r = t_->read(buf, sizeof buf);
      if (r.kind == WsReadKind::kFragment || r.kind == WsReadKind::kMessage)
        text.append(buf, r.bytes);
      if (r.kind == WsReadKind::kMessage) return json_parse(text);
      if (r.kind != WsReadKind::kFragment) {
        if (end) *end = r.kind;
        return Json();
      }
    }
  }

 private:
  static std::string describe(const Json& msg) {
    if (!msg) return "";
    std::string e = json_get_string(msg.get(), "e");
    if (e == "auth_fail") return e + ": " + json_get_string(json_get(msg.get(), "d"), "error");
    return e;
  }

  std::string machine_id_;
  unsigned char pk_[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk_[crypto_sign_SECRETKEYBYTES];
  std::unique_ptr<WsTransport> t_;
};

}  // namespace halvex::testing
