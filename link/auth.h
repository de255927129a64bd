// The agent's identity towards the server: an Ed25519 key pair (RFC 8032)
// whose seed lives in the configuration, the challenge-response handshake
// run on every connection, and who the server says we are.
//
// The seed's store and the user's view of the link belong to the service,
// which hands them in as AuthHooks at start-up.
//
// Threads: auth_set_hooks and auth_init_keypair run once at start-up before
// any connection; the hooks and the key are read without a lock afterwards.
// The handlers run on the connection thread. The identity may be set,
// cleared and read from any thread.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/json.h"

namespace halvex {

constexpr size_t kUserNameBytes = 64;  // user names are kept to 63 characters

// What authentication needs from outside the link. A member left null does
// nothing (and loads no identity, gives an empty machine id).
struct AuthHooks {
  // The identity store: the stored members, among them "private_key" (null
  // when there is none); merging members in; deleting it all.
  Json (*load_identity)() = nullptr;
  bool (*save_identity)(const cJSON* update) = nullptr;
  void (*delete_identity)() = nullptr;
  std::string (*machine_id)() = nullptr;
  // Where the outcome shows: the server accepted us as `username` (the
  // name kept, which may be empty), or refused us.
  void (*authenticated)(const std::string& username) = nullptr;
  void (*refused)() = nullptr;
};

// Replaces the hooks. Call at start-up, before auth_init_keypair.
void auth_set_hooks(const AuthHooks& hooks);

// Loads the seed from "private_key" (Base64 of exactly 32 bytes) or, if that
// is missing or malformed, makes a new one from the system's random source
// and saves it. If the random source fails, no key is made: challenges then
// go unanswered rather than signed with a guessable key.
void auth_init_keypair();

// Registers "_connected", "auth_challenge", "auth_ok", "auth_fail".
void auth_register_handlers();

// Base64 of the public key (44 characters); empty while no key is ready.
std::string auth_public_key();

// Writes the seed back as "private_key" (after the file was deleted).
void auth_save_private_key();

// Signs `len` bytes with the key pair; false when no key is ready.
bool auth_sign(const uint8_t* msg, size_t len, uint8_t signature[64]);

// The authenticated user. A null or empty name keeps the previous name.
void auth_set_identity(int32_t user_id, const char* name);
void auth_clear_identity();
int32_t auth_user_id();  // 0 when not authenticated
std::string auth_username();

}  // namespace halvex
