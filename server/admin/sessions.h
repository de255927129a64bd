// Operator sessions of the server's web pages: made by a right password on
// the login page, named by a random 256-bit id that travels only in an
// HttpOnly, Secure, SameSite=Strict cookie, each with a CSRF token of its
// own that every form of the session carries.
//
// Sessions live in memory only: a restart signs every operator out, and a
// copy of the database hands out no live session. A session ends after
// kSessionIdleSeconds without a request, kSessionMaxSeconds after it was
// made, or at logout. The table is bounded (kMaxSessions, and
// kMaxSessionsPerUser for one account), the least recently used session
// making room; only a right password makes a session, so nobody without one
// can grow the table.
//
// Ids are kept by their BLAKE2b hash, so finding one takes the same steps
// whichever bytes of a guess are right.
//
// Threads: every method may be called from any thread at once (one mutex).

#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/hub/hub.h"

namespace halvex::server {

constexpr int64_t kSessionIdleSeconds = 30 * 60;
constexpr int64_t kSessionMaxSeconds = 12 * 60 * 60;
constexpr size_t kMaxSessions = 256;
constexpr size_t kMaxSessionsPerUser = 16;

struct OperatorSession {
  std::string id;    // the cookie's value: 64 hex digits
  std::string csrf;  // the forms' token: 64 hex digits
  int64_t user_id = 0;
  std::string username;
  int64_t created = 0;    // Unix seconds
  int64_t last_used = 0;  // Unix seconds
};

class Sessions {
 public:
  explicit Sessions(Clock clock = unix_now) : clock_(std::move(clock)) {}

  // A new session of the user, making room when the table is full.
  OperatorSession create(int64_t user_id, const std::string& username);
  // The live session of `id`, its idle time started anew; nullopt for an
  // unknown, ended or expired one.
  std::optional<OperatorSession> find(std::string_view id);
  // Ends the session of `id` (nothing when there is none).
  void end(std::string_view id);
  size_t size();

 private:
  bool expired(const OperatorSession& s, int64_t now) const;
  void purge(int64_t now);
  void evict_oldest(int64_t user_id);  // of that user, or of all for 0

  Clock clock_;
  std::mutex mu_;
  std::map<std::string, OperatorSession> by_key_;  // by secret_hash(id)
};

// 32 random bytes in hex: session ids, CSRF and job tokens.
std::string new_secret();
// A secret's BLAKE2b-256 hash in hex: what is kept and looked up in its
// place, so a lookup's timing tells nothing about the secret.
std::string secret_hash(std::string_view secret);
// Whether two secrets are equal, in time that depends on their length only.
bool same_secret(std::string_view a, std::string_view b);

}  // namespace halvex::server
