// Feeds one received WebSocket message to the event dispatcher with the
// authentication handlers registered, as the connection thread would. There
// is no live connection, so every reply the handlers send fails quietly; what
// is checked is that no message crashes or corrupts the dispatcher, and that
// the identity and tray texts stay within their fields.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "service/auth_wiring.h"
#include "service/config.h"
#include "service/tray.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = halvex::fuzz::make_temp_dir("proto");
  halvex::init_data_paths_from(dir, dir);
  halvex::proto_init();
  halvex::auth_wire_service();
  halvex::auth_init_keypair();
  halvex::auth_register_handlers();
  halvex::fuzz::check(!halvex::auth_public_key().empty(), "a key pair was made");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The client drops longer messages before the dispatcher sees them.
  if (size > halvex::kWsMaxMessage) return -1;
  // The client hands over a NUL-terminated copy; std::string keeps one.
  std::string text(reinterpret_cast<const char*>(data), size);
  halvex::proto_on_message(text.c_str(), text.size());

  halvex::fuzz::check(halvex::auth_username().size() < halvex::kUserNameBytes,
                      "user name kept to 63 bytes");
  halvex::fuzz::check(halvex::tray_status().size() < 128, "tray status kept to 127 bytes");
  halvex::fuzz::check(halvex::tray_tooltip().size() < 128, "tray tooltip kept to 127 bytes");
  return 0;
}
