#include "service/service.h"

#include "core/log.h"
#include "core/util.h"
#include "core/version.h"
#include "disk/disk.h"
#include "drone/dji.h"
#include "imaging/imaging_job.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/clock.h"
#include "platform/crash.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/tls.h"
#include "scan/scan_job.h"
#include "scan/thumbnails.h"
#include "service/auth_wiring.h"
#include "service/config.h"
#include "service/control.h"
#include "service/pairing.h"
#include "service/tray.h"
#include "transfer/download.h"
#include "transfer/update.h"

namespace halvex {

namespace {

constexpr int kInstanceAttempts = 10;
constexpr uint32_t kInstanceRetryMs = 500;

bool acquire_instance(const std::string& name, const std::string& data_dir) {
  for (int attempt = 1; attempt <= kInstanceAttempts; attempt++) {
    if (instance_try_acquire(name.c_str(), data_dir)) return true;
    if (attempt < kInstanceAttempts) sleep_ms(kInstanceRetryMs);
  }
  return false;
}

// Every subsystem's handlers, in their fixed order.
void register_all_handlers() {
  auth_register_handlers();
  disk_register_handlers();
  imaging_register_handlers(server_base_url);
  scan_register_handlers(server_base_url);
  dji_register_handlers();
  thumb_register_handlers(server_base_url);
  download_register_handlers(server_base_url);
  update_register_handlers(server_base_url, [] { set_should_reconnect(false); });
  register_handler("pair_success", on_pair_success);
  register_handler("_disconnected", on_link_lost);
}

}  // namespace

void tray_on_command(int command) {
  switch (command) {
    case kTrayLogin:
      log_msg(LOG_INFO, "Login requested (browser pairing)");
      start_pairing();
      break;
    case kTrayDashboard:
      log_msg(LOG_INFO, "Opening dashboard");
      if (process_may_open_browser()) process_open_url(server_base_url());
      break;
    case kTrayDisconnect:
      log_msg(LOG_INFO, "Disconnect requested");
      set_should_reconnect(false);
      ws_close();
      auth_clear_identity();
      config_delete();
      tray_set_linked(false);
      tray_set_status("Not linked");
      tray_set_tooltip("Halvex Service \u2014 Not linked");
      break;
    case kTrayExit:
      log_msg(LOG_INFO, "Exit requested");
      set_should_reconnect(false);
      ws_close();
      tray_request_quit();
      break;
    default:
      break;
  }
}

int service_main(const ServiceOptions& options) {
  // There is no elevation prompt here: a process without root runs on and
  // disk work reports access errors where it meets them.
  // The data folder first: the single-instance lock lives in it. Before
  // the lock is held only the folder is made (and a configuration beside
  // the executable copied in when the folder has none).
  init_data_paths(options.data_dir.empty() ? system_app_data_dir() : options.data_dir);
  std::string data_dir = get_data_dir();
  if (!acquire_instance(options.instance_name, data_dir)) return 0;
  std::string tray_error;
  // Before any thread starts, so signals reach the tray.
  const bool tray_ok = tray_ui_init(&tray_error);
  crash_install();

  crash_set_log_path(text_cut(data_dir + "/crash.log", 260).c_str());
  log_open(text_cut(data_dir + "/service.log", 260));
  if (!options.ca_file.empty()) tls_set_ca_file(options.ca_file);

  log_msg(LOG_INFO, "Halvex Service v%s starting", SERVICE_VERSION);
  if (!tray_ok) log_msg(LOG_ERROR, "Console: %s", tray_error.c_str());
  log_msg(LOG_INFO, "Machine ID: %s", get_machine_id().c_str());
  std::string hostname;
  get_hostname(&hostname);
  log_msg(LOG_INFO, "Hostname: %s", hostname.c_str());

  proto_init();
  auth_wire_service();
  auth_init_keypair();
  register_all_handlers();

  pairing_set_server(options.server_host);
  std::string control_error;
  if (tray_ui_wants_control_socket() && !control_start(data_dir, &control_error))
    log_msg(LOG_ERROR, "control: %s", control_error.c_str());
  set_should_reconnect(true);
  start_connection_thread();
  start_watchdog();

  // An icon.ico beside the program replaces the icon built into it.
  tray_run(exe_dir() + "/icon.ico", tray_on_command);

  ws_shutdown();
  imaging_shutdown();
  log_msg(LOG_INFO, "Shutting down");
  log_close();
  return 0;
}

}  // namespace halvex
