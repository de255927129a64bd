// The reference server as a child process for integration tests: a data
// folder made with `init`, users added with `user add`, `serve` on an
// ephemeral loopback port, and the admin commands run like an operator would.
//
// One test thread drives each ServerProcess.

#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>

#include <memory>
#include <string>
#include <vector>

#include "server/cli/admin_client.h"
#include "platform/tls.h"
#include "server/net/net.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace halvex::testing {

// How often `needle` stands in `text` after byte offset `from`.
inline size_t count_of(const std::string& text, const std::string& needle, size_t from = 0) {
  size_t n = 0;
  for (size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + 1))
    n++;
  return n;
}

class ServerProcess {
 public:
  // `dir` holds the data folder (`name`) and the processes' output files.
  explicit ServerProcess(std::string dir, const std::string& name = "server")
      : dir_(std::move(dir)), data_(dir_ + "/" + name) {}
  ~ServerProcess() {
    if (serve_ && serve_->running()) {
      serve_->signal(SIGKILL);
      serve_->wait(std::chrono::seconds(5));
    }
  }

  const std::string& data() const { return data_; }
  std::string ca_file() const { return data_ + "/ca.pem"; }
  uint16_t port() const { return port_; }
  pid_t pid() const { return serve_ ? serve_->pid() : -1; }
  const std::string& last_output() const { return last_out_; }
  // What `serve` has logged so far.
  std::string serve_log() const { return serve_ ? serve_->err() : ""; }

  // How often `text` stands in serve's log so far.
  size_t log_count(const std::string& text) const { return count_of(serve_log(), text); }

  // A GET of `target` on the running server over TLS, its CA the only one
  // trusted; `admin` adds the operator's bearer token. Callers link
  // halvex_server.
  server::ClientRequest request(const std::string& target, bool admin = false) const {
    server::ClientRequest rq;
    rq.host = "127.0.0.1";
    rq.port = port_;
    rq.ca_file = ca_file();
    rq.target = target;
    if (admin) {
      std::string token = read_text_file(data_ + "/admin.token");
      rq.authorization = "Bearer " + token.substr(0, token.find('\n'));
    }
    return rq;
  }

  // A form POST of `body` to `target`.
  server::ClientRequest form_post(const std::string& target, const std::string& body) const {
    server::ClientRequest rq = request(target);
    rq.method = "POST";
    rq.content_type = "application/x-www-form-urlencoded";
    rq.body = body;
    return rq;
  }

  // Runs `recovery-server args... --data DIR` to the end; returns its exit
  // code (-1 when it could not run or hung), standard output in *out.
  int run(std::vector<std::string> args, const std::string& input = "",
          std::string* out = nullptr) {
    args.insert(args.begin(), RECOVERY_SERVER_BIN);
    args.push_back("--data");
    args.push_back(data_);
    ChildProcess p(args, dir_, "cmd" + std::to_string(++commands_));
    std::string error;
    if (!p.start(&error)) {
      last_out_ = error;
      return -1;
    }
    p.write_stdin(input);
    p.close_stdin();
    std::optional<int> rc = p.wait(std::chrono::seconds(60));
    if (out) *out = p.out();
    last_out_ = p.out() + p.err();
    return rc.value_or(-1);
  }

  // init, then one user per name with password "pw-" + name.
  ::testing::AssertionResult init(const std::vector<std::string>& users) {
    if (run({"init"}) != 0) return ::testing::AssertionFailure() << "init: " << last_out_;
    for (const std::string& u : users)
      if (run({"user", "add", u}, "pw-" + u + "\n") != 0)
        return ::testing::AssertionFailure() << last_out_;
    return ::testing::AssertionSuccess();
  }

  // Serves on `listen`; the default, port 0, takes a free port. A restart
  // that must keep its port passes "127.0.0.1:" + std::to_string(port()).
  // `extra` options go to `serve` as they are.
  ::testing::AssertionResult start(const std::string& listen = "127.0.0.1:0",
                                   const std::vector<std::string>& extra = {}) {
    std::remove((data_ + "/listen").c_str());
    std::vector<std::string> args{RECOVERY_SERVER_BIN, "serve", "--data", data_,
                                  "--listen",          listen};
    args.insert(args.end(), extra.begin(), extra.end());
    serve_ = std::make_unique<ChildProcess>(args, dir_, "serve" + std::to_string(++serves_));
    std::string error;
    if (!serve_->start(&error)) return ::testing::AssertionFailure() << error;
    if (!wait_for_file_text(data_ + "/listen", "\n", std::chrono::seconds(15)))
      return ::testing::AssertionFailure() << "no listen file: " << serve_->err();
    std::string addr = read_text_file(data_ + "/listen");
    port_ = static_cast<uint16_t>(std::stoi(addr.substr(addr.rfind(':') + 1)));
    return ::testing::AssertionSuccess();
  }

  // A job token of the running server for the files folder's `names`, as
  // `download` and `update` get one ("" on failure, with the cause in
  // last_output()). Callers link halvex_server.
  std::string file_token(const std::vector<std::string>& names) {
    std::optional<server::AdminApi> api = server::admin_api_open(data_, &last_out_);
    if (!api) return "";
    std::string text = "{\"machine_id\":\"test\",\"files\":[";
    for (size_t i = 0; i < names.size(); i++) {
      if (i > 0) text += ",";
      json_write_string(&text, names[i]);
    }
    Json body = json_parse(text + "]}");
    Json r = server::admin_call(*api, "POST", "/api/file_tokens", body.get(), 30, &last_out_);
    return r ? json_get_string(r.get(), "token") : "";
  }

  // SIGKILL, as a crash would end it: no goodbye to anyone.
  void kill() {
    if (!serve_) return;
    serve_->signal(SIGKILL);
    serve_->wait(std::chrono::seconds(20));
    serve_.reset();
  }

  // SIGTERM; returns the exit status (-1 on a hang).
  int stop() {
    if (!serve_) return -1;
    serve_->signal(SIGTERM);
    int rc = serve_->wait(std::chrono::seconds(20)).value_or(-1);
    last_out_ = serve_->err();
    serve_.reset();
    return rc;
  }

 private:
  std::string dir_, data_;
  std::unique_ptr<ChildProcess> serve_;
  uint16_t port_ = 0;
  std::string last_out_;
  int commands_ = 0, serves_ = 0;
};

// A fresh server in a folder of its own: `serve()` makes it with its
// users, starts it and trusts its CA in this process.
class ServerTest : public ::testing::Test {
 protected:
  ::testing::AssertionResult serve(const std::vector<std::string>& users = {"alice"},
                                   const std::string& listen = "127.0.0.1:0",
                                   const std::vector<std::string>& extra = {}) {
    if (sodium_init() < 0) return ::testing::AssertionFailure() << "sodium_init";
    if (::testing::AssertionResult r = server_.init(users); !r) return r;
    if (::testing::AssertionResult r = server_.start(listen, extra); !r) return r;
    tls_set_ca_file(server_.ca_file());
    return ::testing::AssertionSuccess();
  }

  TempDir dir_;
  ServerProcess server_{dir_.path()};
};

}  // namespace halvex::testing
