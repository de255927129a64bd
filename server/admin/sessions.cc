#include "server/admin/sessions.h"

#include <sodium.h>

#include "core/codec.h"

namespace halvex::server {

std::string new_secret() {
  uint8_t raw[32];
  randombytes_buf(raw, sizeof raw);
  std::string out = hex_encode(raw, sizeof raw);
  sodium_memzero(raw, sizeof raw);
  return out;
}

bool same_secret(std::string_view a, std::string_view b) {
  if (a.empty() || a.size() != b.size()) return false;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string secret_hash(std::string_view secret) {
  uint8_t hash[32];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const uint8_t*>(secret.data()),
                     secret.size(), nullptr, 0);
  return hex_encode(hash, sizeof hash);
}

bool Sessions::expired(const OperatorSession& s, int64_t now) const {
  return now - s.last_used >= kSessionIdleSeconds || now - s.created >= kSessionMaxSeconds;
}

void Sessions::purge(int64_t now) {
  for (auto it = by_key_.begin(); it != by_key_.end();)
    it = expired(it->second, now) ? by_key_.erase(it) : ++it;
}

void Sessions::evict_oldest(int64_t user_id) {
  auto oldest = by_key_.end();
  for (auto it = by_key_.begin(); it != by_key_.end(); ++it) {
    if (user_id != 0 && it->second.user_id != user_id) continue;
    if (oldest == by_key_.end() || it->second.last_used < oldest->second.last_used) oldest = it;
  }
  if (oldest != by_key_.end()) by_key_.erase(oldest);
}

OperatorSession Sessions::create(int64_t user_id, const std::string& username) {
  OperatorSession s;
  s.id = new_secret();
  s.csrf = new_secret();
  s.user_id = user_id;
  s.username = username;
  s.created = s.last_used = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  purge(s.created);
  size_t of_user = 0;
  for (const auto& [k, other] : by_key_) of_user += other.user_id == user_id;
  if (of_user >= kMaxSessionsPerUser) evict_oldest(user_id);
  if (by_key_.size() >= kMaxSessions) evict_oldest(0);
  by_key_[secret_hash(s.id)] = s;
  return s;
}

std::optional<OperatorSession> Sessions::find(std::string_view id) {
  if (id.empty()) return std::nullopt;
  int64_t now = clock_();
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_key_.find(secret_hash(id));
  if (it == by_key_.end()) return std::nullopt;
  if (expired(it->second, now)) {
    by_key_.erase(it);
    return std::nullopt;
  }
  it->second.last_used = now;
  return it->second;
}

void Sessions::end(std::string_view id) {
  std::lock_guard<std::mutex> lock(mu_);
  by_key_.erase(secret_hash(id));
}

size_t Sessions::size() {
  std::lock_guard<std::mutex> lock(mu_);
  return by_key_.size();
}

}  // namespace halvex::server
