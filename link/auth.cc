#include "link/auth.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/codec.h"
#include "core/log.h"
#include "core/util.h"
#include "core/version.h"
#include "link/proto.h"
#include "platform/random.h"
#include "platform/system.h"

namespace halvex {

namespace {

// Written once by auth_init_keypair before any connection, then only read.
unsigned char g_seed[crypto_sign_SEEDBYTES];
unsigned char g_public_key[crypto_sign_PUBLICKEYBYTES];
unsigned char g_secret_key[crypto_sign_SECRETKEYBYTES];
std::string g_public_key_b64;
std::atomic<bool> g_key_ready{false};

// Set by auth_set_hooks before any connection, then only read.
AuthHooks g_hooks;

std::atomic<int32_t> g_user_id{0};
std::mutex g_identity_mu;  // guards g_username
std::string g_username;

void use_seed(const unsigned char* seed) {
  std::memcpy(g_seed, seed, sizeof g_seed);
  crypto_sign_seed_keypair(g_public_key, g_secret_key, g_seed);
  g_public_key_b64 = base64_encode(g_public_key, sizeof g_public_key);
  g_key_ready = true;
}

Json load_identity() { return g_hooks.load_identity != nullptr ? g_hooks.load_identity() : Json(); }

bool load_seed_from_config() {
  Json config = load_identity();
  std::string stored = json_get_string(config.get(), "private_key");
  if (stored.empty()) return false;
  std::optional<Bytes> seed = base64_decode(stored);
  if (!seed || seed->size() != crypto_sign_SEEDBYTES) return false;
  use_seed(seed->data());
  sodium_memzero(seed->data(), seed->size());
  return true;
}

void on_connected(const cJSON*) {
  Json config = load_identity();
  if (!config || !json_has(config.get(), "private_key")) return;
  log_msg(LOG_INFO, "auth: sending auth_key challenge request");
  std::string hostname;
  get_hostname(&hostname);
  Json d = json_object();
  json_add_string(d.get(), "machine_id",
                  g_hooks.machine_id != nullptr ? g_hooks.machine_id() : std::string());
  json_add_string(d.get(), "platform", system_platform_name());
  json_add_string(d.get(), "version", SERVICE_VERSION);
  json_add_string(d.get(), "build", kBuildName);
  json_add_string(d.get(), "hostname", hostname);
  send_event("service_auth_key", std::move(d));
}

void on_challenge(const cJSON* data) {
  std::string challenge = json_get_string(data, "challenge");
  if (challenge.empty()) {
    log_msg(LOG_WARN, "auth: empty challenge");
    return;
  }
  uint8_t signature[crypto_sign_BYTES];
  if (!auth_sign(reinterpret_cast<const uint8_t*>(challenge.c_str()),
                 std::strlen(challenge.c_str()), signature)) {
    log_msg(LOG_ERROR, "auth: failed to sign challenge");
    return;
  }
  Json d = json_object();
  json_add_string(d.get(), "signature", base64_encode(signature, sizeof signature));
  json_add_string(d.get(), "public_key", g_public_key_b64);
  send_event("auth_response", std::move(d));
  log_msg(LOG_INFO, "auth: signed challenge, sent response");
}

void on_auth_ok(const cJSON* data) {
  g_user_id = json_get_int32(data, "user_id", 0);
  std::string name = json_get_string(data, "username");
  auth_set_identity(g_user_id, name.c_str());
  name = auth_username();
  log_msg(LOG_INFO, "auth: authenticated as %s (user_id=%d)", name.c_str(), g_user_id.load());
  if (g_hooks.authenticated != nullptr) g_hooks.authenticated(name);
}

void on_auth_fail(const cJSON* data) {
  const cJSON* error = json_get(data, "error");
  std::string text = json_is_string(error) ? json_string_value(error) : "Unknown error";
  log_msg(LOG_ERROR, "auth: auth failed: %s", text.c_str());
  if (g_hooks.refused != nullptr) g_hooks.refused();
  if (json_is_string(error) && text.find("revoked") != std::string::npos) {
    if (g_hooks.delete_identity != nullptr) g_hooks.delete_identity();
    log_msg(LOG_INFO, "auth: cleared config (key revoked)");
  }
}

}  // namespace

void auth_set_hooks(const AuthHooks& hooks) { g_hooks = hooks; }

void auth_init_keypair() {
  if (sodium_init() < 0) {
    log_msg(LOG_ERROR, "auth: crypto library failed to start");
    return;
  }
  if (load_seed_from_config()) {
    log_msg(LOG_INFO, "auth: loaded keypair from config");
    return;
  }
  unsigned char seed[crypto_sign_SEEDBYTES];
  if (!random_bytes(seed, sizeof seed)) {
    log_msg(LOG_ERROR, "auth: random source failed, no keypair");
    return;
  }
  use_seed(seed);
  sodium_memzero(seed, sizeof seed);
  auth_save_private_key();
  log_msg(LOG_INFO, "auth: generated new keypair");
}

void auth_register_handlers() {
  register_handler("_connected", on_connected);
  register_handler("auth_challenge", on_challenge);
  register_handler("auth_ok", on_auth_ok);
  register_handler("auth_fail", on_auth_fail);
}

std::string auth_public_key() { return g_key_ready ? g_public_key_b64 : ""; }

void auth_save_private_key() {
  if (!g_key_ready || g_hooks.save_identity == nullptr) return;
  Json update = json_object();
  json_add_string(update.get(), "private_key", base64_encode(g_seed, sizeof g_seed));
  g_hooks.save_identity(update.get());
}

bool auth_sign(const uint8_t* msg, size_t len, uint8_t signature[64]) {
  if (!g_key_ready) return false;
  return crypto_sign_detached(signature, nullptr, msg, len, g_secret_key) == 0;
}

void auth_set_identity(int32_t user_id, const char* name) {
  g_user_id = user_id;
  if (name == nullptr || name[0] == '\0') return;
  std::lock_guard<std::mutex> lock(g_identity_mu);
  g_username = text_cut(name, kUserNameBytes);
}

void auth_clear_identity() {
  std::lock_guard<std::mutex> lock(g_identity_mu);
  g_username.clear();
  g_user_id = 0;
}

int32_t auth_user_id() { return g_user_id; }

std::string auth_username() {
  std::lock_guard<std::mutex> lock(g_identity_mu);
  return g_username;
}

}  // namespace halvex
