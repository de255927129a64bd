#include "link/auth.h"

#include <gtest/gtest.h>

#include "core/codec.h"
#include "core/json.h"
#include "link/proto.h"
#include "service/auth_wiring.h"
#include "service/config.h"
#include "service/tray.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

struct Vector {
  const char* name;
  const char* seed;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1.
const char kTest1024Message[] =
    "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f54e9f77"
    "b1e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37c93a1b270b20"
    "329d658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efcb8550ee3a5e1998bd1"
    "77e93a7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b3b310da903401aa62100ab5d"
    "1a36553e06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573cb116dbefefd75499da96bd68a8a97b"
    "928a8bbc103b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204ed3455c68c83f4a41da4af2b74ef5c53f1d8"
    "ac70bdcb7ed185ce81bd84359d44254d95629e9855a94a7c1958d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e"
    "1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24554119a831a9aad6079cad88425de6bde1a9187ebb6092cf"
    "67bf2b13fd65f27088d78b7e883c8759d2c4f5c65adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e69485bbc9"
    "c90bfbd62481d9089beccf80cfe2df16a2cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80c341"
    "4a8d0859dc65a46128bab27af87a71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b"
    "1ae0784504df543af8969be3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead9"
    "4f3c7ca495e056a9b47acdb751fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c"
    "30c04aafdb038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f67"
    "24517b65e614ad6808d6f6ee34dff7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08d7"
    "8ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e2ab47b57"
    "f7f7276cd419c17a3ca8e1b939ae49e488acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d5011fd2dcc5600"
    "a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e6aed3fb0f9cd71a43dd497f01f17"
    "c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346f1a641f3b041e989f7914f90cc2c7fff357876"
    "e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa933a15ef1369546868a7f3a45a96768d4"
    "0fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c4185c32eddcdd306705e4dc1ffc872eeee475a64df"
    "ac86aba41c0618983f8741c5ef68d3a101e8a3b8cac60c905c15fc910840b94c00a0b9d0";

const Vector kVectors[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST 1024", "f5e5767cf153319517630f226876b86c8160cc583bc013744c6bf255f5cc0ee5",
     "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e", kTest1024Message,
     "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23c436d"
     "94b5e8fcd4f681e30a6ac00a9704a188a03"},
};

std::string b64_of_hex(const char* hex) {
  Bytes b = *hex_decode(hex);
  return base64_encode(b.data(), b.size());
}

void write_config(const std::string& text) { testing::write_file(config_path(), text); }

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_data_paths_from(dir_.path(), dir_.path());
    auth_wire_service();
    proto_init();
    auth_register_handlers();
  }
  // Delivers an event as if the server had sent it.
  void receive(const std::string& json) { proto_on_message(json.c_str(), json.size()); }
  TempDir dir_;
};

TEST_F(AuthTest, Rfc8032VectorsComeOutByteForByte) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.name);
    write_config("{\"private_key\":\"" + b64_of_hex(v.seed) + "\"}");
    auth_init_keypair();
    EXPECT_EQ(auth_public_key(), b64_of_hex(v.public_key));
    Bytes message = *hex_decode(v.message);
    uint8_t signature[64];
    ASSERT_TRUE(auth_sign(message.data(), message.size(), signature));
    EXPECT_EQ(base64_encode(signature, 64), b64_of_hex(v.signature));
  }
}

TEST_F(AuthTest, MalformedStoredKeysAreReplaced) {
  std::string seed31(31, 'k'), seed33(33, 'k');
  const std::string bad_keys[] = {
      "\"" + std::string(43, 'A') + "\"",  // valid characters, length not a multiple of 4
      "\"" + base64_encode(reinterpret_cast<const uint8_t*>(seed31.data()), 31) + "\"",
      "\"" + base64_encode(reinterpret_cast<const uint8_t*>(seed33.data()), 33) + "\"",
      "\"\"",
      "12",
      "\"not base64!\"",
  };
  for (const std::string& bad : bad_keys) {
    SCOPED_TRACE(bad);
    write_config("{\"machine_id\":\"0123456789ab\",\"private_key\":" + bad + "}");
    auth_init_keypair();
    Json config = config_load();
    std::string stored = json_get_string(config.get(), "private_key");
    std::optional<Bytes> seed = base64_decode(stored);
    ASSERT_TRUE(seed.has_value());
    EXPECT_EQ(seed->size(), 32u);
    EXPECT_EQ(auth_public_key().size(), 44u);
    EXPECT_EQ(json_get_string(config.get(), "machine_id"), "0123456789ab");
  }
  // A new key each time: never a fixed or zero seed.
  std::string first = auth_public_key();
  config_delete();
  auth_init_keypair();
  EXPECT_NE(auth_public_key(), first);
}

TEST_F(AuthTest, FirstStartStoresMachineIdThenKey) {
  get_machine_id();
  auth_init_keypair();
  std::string text = testing::read_file(config_path());
  EXPECT_LT(text.find("\"machine_id\""), text.find("\"private_key\"")) << text;
}

TEST_F(AuthTest, AuthOkSetsIdentityAndTray) {
  auth_clear_identity();
  receive(R"({"e":"auth_ok","d":{"user_id":42,"username":"alice"}})");
  EXPECT_EQ(auth_user_id(), 42);
  EXPECT_EQ(auth_username(), "alice");
  EXPECT_TRUE(tray_linked());
  EXPECT_EQ(tray_status(), "Connected \u2014 alice");
  EXPECT_EQ(tray_tooltip(), "Halvex Service v0.2.1 \u2014 alice");

  // No user id: 0 (no drone events), linked all the same; the name stays.
  receive(R"({"e":"auth_ok","d":{"username":""}})");
  EXPECT_EQ(auth_user_id(), 0);
  EXPECT_EQ(auth_username(), "alice");
  EXPECT_TRUE(tray_linked());

  receive("{\"e\":\"auth_ok\",\"d\":{\"user_id\":7,\"username\":\"" + std::string(80, 'n') +
          "\"}}");
  EXPECT_EQ(auth_username(), std::string(63, 'n'));
}

TEST_F(AuthTest, AuthFailDeletesConfigOnlyForLowerCaseRevoked) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"e":"auth_fail","d":{"error":"Key revoked"}})", true},
      {R"({"e":"auth_fail","d":{"error":"Key Revoked"}})", false},
      {R"({"e":"auth_fail","d":{"error":"Invalid signature"}})", false},
      {R"({"e":"auth_fail","d":{"error":5}})", false},
      {R"({"e":"auth_fail"})", false},
  };
  for (auto [event, deletes] : cases) {
    SCOPED_TRACE(event);
    write_config(R"({"machine_id":"0123456789ab"})");
    tray_set_linked(true);
    receive(event);
    EXPECT_EQ(!config_load(), deletes);
    EXPECT_FALSE(tray_linked());
    EXPECT_EQ(tray_status(), "Auth failed");
  }
}

TEST_F(AuthTest, ChallengeProblemsSendNothingAndLogWhy) {
  auth_init_keypair();
  for (const char* event :
       {R"({"e":"auth_challenge","d":{"challenge":""}})",
        R"({"e":"auth_challenge","d":{"challenge":7}})", R"({"e":"auth_challenge"})"}) {
    ::testing::internal::CaptureStderr();
    receive(event);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("WARN ] auth: empty challenge"), std::string::npos) << event;
    EXPECT_EQ(err.find("sent response"), std::string::npos);
  }
}

}  // namespace
}  // namespace halvex
