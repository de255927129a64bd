#include "service/auth_wiring.h"

#include <string>

#include "link/auth.h"
#include "service/config.h"
#include "service/tray.h"

namespace halvex {

namespace {

void show_refused() {
  tray_set_linked(false);
  tray_set_status("Auth failed");
}

}  // namespace

void auth_wire_service() {
  AuthHooks hooks;
  hooks.load_identity = config_load;
  hooks.save_identity = config_save;
  hooks.delete_identity = config_delete;
  hooks.machine_id = get_machine_id;
  hooks.authenticated = tray_show_connected;
  hooks.refused = show_refused;
  auth_set_hooks(hooks);
}

}  // namespace halvex
