#include "service/control.h"

#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "service/pairing.h"
#include "service/tray.h"

namespace halvex {

namespace {

constexpr int kMaxClients = 4;
constexpr int kLineTimeoutMs = 5000;
constexpr uint32_t kLoginPollMs = 100;
// Pairing has no end of its own; the server's codes do not live this long.
constexpr auto kLoginWait = std::chrono::minutes(15);

std::atomic<int> g_clients{0};

struct CommandName {
  const char* name;
  ControlCommand command;
};
constexpr CommandName kCommands[] = {
    {"login", ControlCommand::kLogin},           {"dashboard", ControlCommand::kDashboard},
    {"disconnect", ControlCommand::kDisconnect}, {"exit", ControlCommand::kExit},
    {"status", ControlCommand::kStatus},
};

// Reads the command line, bounded in size and time.
std::optional<std::string> read_command(int fd, std::string* error) {
  std::string pending, line;
  char buffer[kControlLineBytes + 1];
  for (;;) {
    switch (control_take_line(&pending, &line)) {
      case ControlLine::kLine:
        return line;
      case ControlLine::kTooLong:
        *error = "error: command too long";
        return std::nullopt;
      case ControlLine::kMore:
        break;
    }
    int n = local_read(fd, buffer, sizeof buffer - pending.size(), kLineTimeoutMs);
    if (n <= 0) {
      *error = n == 0 ? "error: no command" : "error: no command within 5 s";
      return std::nullopt;
    }
    pending.append(buffer, static_cast<size_t>(n));
  }
}

// Whether the client has hung up (or sent more than it should).
bool peer_gone(int fd) {
  char byte;
  return local_read(fd, &byte, 1, 0) >= 0;
}

// Starts pairing and reports it until the link is made or pairing fails.
void serve_login(int fd) {
  PairingProgress before = pairing_progress();
  tray_post_command(kTrayLogin);
  bool shown = false;
  auto deadline = std::chrono::steady_clock::now() + kLoginWait;
  while (std::chrono::steady_clock::now() < deadline) {
    PairingProgress now = pairing_progress();
    if (!shown && now.requested > before.requested) {
      shown = local_write(fd, "url: " + now.page + "\ncode: " + now.code + "\n");
    }
    if (now.linked > before.linked) {
      local_write(fd, "linked: " + tray_status() + "\nok\n");
      return;
    }
    if (now.failed > before.failed) {
      local_write(fd, "error: pairing failed: " + tray_status() + "\n");
      return;
    }
    if (peer_gone(fd)) return;
    sleep_ms(kLoginPollMs);
  }
  local_write(fd, "error: no login within 15 minutes\n");
}

void serve(int fd, const std::string& line) {
  std::optional<ControlCommand> command = control_parse(line);
  if (!command) {
    local_write(fd, "error: unknown command (login, dashboard, disconnect, exit, status)\n");
    return;
  }
  switch (*command) {
    case ControlCommand::kStatus:
      local_write(fd, "status: " + tray_status() + "\ntooltip: " + tray_tooltip() +
                          "\nlinked: " + (tray_linked() ? "yes" : "no") + "\nok\n");
      return;
    case ControlCommand::kLogin:
      serve_login(fd);
      return;
    case ControlCommand::kDashboard:
      tray_post_command(kTrayDashboard);
      break;
    case ControlCommand::kDisconnect:
      tray_post_command(kTrayDisconnect);
      break;
    case ControlCommand::kExit:
      // The answer first: the process may end before this thread runs again.
      local_write(fd, "ok\n");
      tray_post_command(kTrayExit);
      return;
  }
  local_write(fd, "ok\n");
}

void serve_client(int fd) {
  std::string error;
  std::optional<std::string> line = read_command(fd, &error);
  if (line)
    serve(fd, *line);
  else
    local_write(fd, error + "\n");
}

void accept_loop(int listener) {
  const uint32_t own_uid = local_user_id();
  for (;;) {
    uint32_t peer_uid = 0;
    std::string error;
    std::optional<int> fd = local_accept(listener, &peer_uid, &error);
    if (!fd) {
      log_msg(LOG_ERROR, "control: %s", error.c_str());
      sleep_ms(1000);  // a descriptor shortage passes; don't spin meanwhile
      continue;
    }
    if (peer_uid != own_uid) {
      log_msg(LOG_WARN, "control: refused a client of user %u", peer_uid);
      local_write(*fd, "error: not allowed\n");
      local_close(*fd);
      continue;
    }
    if (g_clients.fetch_add(1) >= kMaxClients) {
      g_clients--;
      local_write(*fd, "error: busy\n");
      local_close(*fd);
      continue;
    }
    int client = *fd;
    auto done = [client] {
      local_close(client);
      g_clients--;
    };
    // A body that fails (or a thread that can't start) ends through the
    // failure callback instead.
    thread_start(
        "control",
        [client, done] {
          serve_client(client);
          done();
        },
        [done](const std::string&) { done(); });
  }
}

}  // namespace

std::optional<ControlCommand> control_parse(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (const CommandName& c : kCommands)
    if (line == c.name) return c.command;
  return std::nullopt;
}

ControlLine control_take_line(std::string* pending, std::string* line) {
  size_t nl = pending->find('\n');
  if (nl != std::string::npos && nl <= kControlLineBytes) {
    *line = pending->substr(0, nl);
    pending->erase(0, nl + 1);
    return ControlLine::kLine;
  }
  return pending->size() >= kControlLineBytes + 1 || nl != std::string::npos ? ControlLine::kTooLong
                                                                             : ControlLine::kMore;
}

std::string control_socket_path(const std::string& data_dir) { return data_dir + "/control.sock"; }

bool control_start(const std::string& data_dir, std::string* error) {
  std::optional<int> listener = local_listen(control_socket_path(data_dir), error);
  if (!listener) return false;
  int fd = *listener;
  if (!thread_start("control", [fd] { accept_loop(fd); })) {
    local_close(fd);
    *error = "cannot start the control thread";
    return false;
  }
  return true;
}

}  // namespace halvex
