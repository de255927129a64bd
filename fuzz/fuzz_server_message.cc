// Feeds one WebSocket text message from an agent to the recovery server's
// message handler, on two connections: one that has not authenticated and
// one that has (a machine paired at start-up). Replies go to recording
// sinks. Checked: nothing crashes; the unauthenticated connection only ever
// hears "auth_challenge" or "auth_fail"; no input unbinds the authenticated
// connection; nothing the unauthenticated side sends is stored. The same
// bytes also go through the form parser, the Cookie header reader and the
// HTML escaper.

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "server/hub/hub.h"
#include "server/store/store.h"
#include "server/http/web.h"

namespace {

using namespace halvex;
using namespace halvex::server;

struct RecordingSink : ConnectionSink {
  std::vector<std::string> sent;
  int closes = 0;
  void send_text(std::string text) override { sent.push_back(std::move(text)); }
  void close() override { closes++; }
};

std::unique_ptr<Store> g_store;
std::unique_ptr<Hub> g_hub;
std::shared_ptr<RecordingSink> g_fresh_sink, g_authed_sink;
Hub::ConnId g_fresh = 0, g_authed = 0;
const char* const kMachine = "0123456789ab";

size_t stored_events() { return g_store->events_after(kMachine, 0, 1 << 30).size(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::check(sodium_init() >= 0, "libsodium starts");
  std::string error;
  // In memory: the fuzzer runs millions of inputs and keeps nothing.
  g_store = Store::open(":memory:", &error);
  fuzz::check(g_store != nullptr, "the store opens");
  fuzz::check(g_store->add_user("alice", "unused", &error), "a user is added");
  g_hub = std::make_unique<Hub>(*g_store, [] { return int64_t{1'700'000'000}; });

  // Pair a machine on one connection; it counts as authenticated from then.
  unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(pk, sk);
  g_authed_sink = std::make_shared<RecordingSink>();
  g_authed = g_hub->open(g_authed_sink);
  Json d = json_object();
  json_add_string(d.get(), "code", "FUZZ23");
  json_add_string(d.get(), "public_key", base64_encode(pk, sizeof pk));
  json_add_string(d.get(), "machine_id", kMachine);
  g_hub->on_message(g_authed, make_envelope("service_pair_request", d.get()));
  fuzz::check(g_hub->approve("FUZZ23", "alice").status == ApproveStatus::kApproved,
              "the machine pairs");
  fuzz::check(g_hub->is_online(kMachine), "the pairing connection is authenticated");

  g_fresh_sink = std::make_shared<RecordingSink>();
  g_fresh = g_hub->open(g_fresh_sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  size_t before = stored_events();
  g_fresh_sink->sent.clear();
  g_hub->on_message(g_fresh, text);
  fuzz::check(stored_events() == before, "nothing stored from an unauthenticated connection");
  for (const std::string& reply : g_fresh_sink->sent) {
    Json msg = json_parse(reply);
    std::string e = json_get_string(msg.get(), "e");
    fuzz::check(e == "auth_challenge" || e == "auth_fail",
                "only handshake replies before authentication");
  }
  fuzz::check(g_fresh_sink->closes == 0, "bad input never closes the connection");

  g_hub->on_message(g_authed, text);
  fuzz::check(g_hub->is_online(kMachine), "the authenticated connection stays bound");
  fuzz::check(g_authed_sink->closes == 0, "bad input never closes the connection");
  g_authed_sink->sent.clear();

  if (std::optional<Params> form = parse_form(text)) {
    for (const auto& [k, v] : *form)
      fuzz::check(k.find('\0') == std::string::npos, "no NUL in a form name");
  }
  if (std::optional<std::string_view> v = cookie_value(text, "__Host-halvex_session")) {
    fuzz::check(v->find(';') == std::string_view::npos, "a cookie value ends at ';'");
    fuzz::check(v->data() >= text.data() && v->data() + v->size() <= text.data() + text.size(),
                "a cookie value lies in the header");
  }
  std::string escaped = html_escape(text);
  fuzz::check(escaped.find('<') == std::string::npos && escaped.find('"') == std::string::npos,
              "escaped text has no markup characters");
  return 0;
}
