// For tests of the hub and of what sits on it (the web app): a sink that
// records what a connection was sent, an agent's key pair, the agent's
// pairing and handshake messages as it writes them, and a fixture with a
// fresh store (user "alice") and a hub on a clock the test moves.
//
// One test thread drives each fixture.

#pragma once

#include <gtest/gtest.h>
#include <sodium.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/codec.h"
#include "core/json.h"
#include "server/hub/hub.h"
#include "tests/support/temp_dir.h"

namespace halvex::server::testing {

struct FakeSink : ConnectionSink {
  std::vector<std::string> sent;
  int closes = 0;
  void send_text(std::string text) override { sent.push_back(std::move(text)); }
  void close() override { closes++; }
  std::string last() const { return sent.empty() ? "" : sent.back(); }
};

// An agent's key pair.
struct Key {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  Key() { crypto_sign_keypair(pk, sk); }
  std::string public_b64() const { return base64_encode(pk, sizeof pk); }
  std::string sign_b64(const std::string& text) const {
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(text.data()),
                         text.size(), sk);
    return base64_encode(sig, sizeof sig);
  }
};

inline std::string pair_request(const std::string& code, const std::string& machine, const Key& key,
                                const std::string& hostname = "box <1>") {
  return R"({"e":"service_pair_request","d":{"code":")" + code + R"(","public_key":")" +
         key.public_b64() +
         R"(","platform":"Linux","version":"0.2.1","build":"native","machine_id":")" + machine +
         R"(","hostname":")" + hostname + "\"}}";
}

inline std::string auth_key(const std::string& machine, const std::string& version = "0.2.1") {
  return R"({"e":"service_auth_key","d":{"machine_id":")" + machine +
         R"(","platform":"Linux","version":")" + version +
         R"(","build":"native","hostname":"box"}})";
}

inline std::string auth_response(const std::string& signature, const std::string& public_key) {
  return R"({"e":"auth_response","d":{"signature":")" + signature + R"(","public_key":")" +
         public_key + "\"}}";
}

inline std::string challenge_of(const std::string& envelope) {
  Json msg = json_parse(envelope);
  return json_get_string(json_get(msg.get(), "d"), "challenge");
}

class HubFixture : public ::testing::Test {
 protected:
  // libsodium is ready before any member of a derived fixture makes a Key.
  HubFixture() : sodium_ok_(sodium_init() >= 0) {}

  // The store with alice, whose password hash is `alice_hash`, and the hub.
  void open(const std::string& alice_hash) {
    ASSERT_TRUE(sodium_ok_);
    std::string error;
    store_ = Store::open(dir_.file("server.db"), &error);
    ASSERT_TRUE(store_) << error;
    ASSERT_TRUE(store_->add_user("alice", alice_hash, &error));
    hub_ = std::make_unique<Hub>(*store_, [this] { return now_.load(); });
  }

  std::pair<Hub::ConnId, std::shared_ptr<FakeSink>> connect() {
    auto sink = std::make_shared<FakeSink>();
    return {hub_->open(sink), sink};
  }

  bool sodium_ok_;
  halvex::testing::TempDir dir_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Hub> hub_;
  std::atomic<int64_t> now_{1'000'000};
};

}  // namespace halvex::server::testing
