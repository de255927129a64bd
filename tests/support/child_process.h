// A child process for end-to-end tests: started with an argument array (no
// shell), its standard input a pipe the test writes to, its standard output
// and error collected in files the test can read at any time.
//
// Not thread-safe: one test thread drives each ChildProcess.

#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace halvex::testing {

class ChildProcess {
 public:
  // `output_dir` receives "<name>.out" and "<name>.err".
  ChildProcess(std::vector<std::string> argv, std::string output_dir, std::string name);
  ~ChildProcess();  // kills (SIGKILL) and reaps a child still running

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool start(std::string* error);
  pid_t pid() const { return pid_; }

  // Writes text to the child's standard input; close_stdin() sends EOF.
  bool write_stdin(const std::string& text);
  void close_stdin();

  // Sends a signal; waits for the exit status (nullopt on timeout). The
  // status is the exit code, or 128 + signal number when killed.
  bool signal(int sig);
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();

  std::string out() const;  // everything written to standard output so far
  std::string err() const;

  // Waits until `text` appears in standard output (or the timeout passes).
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  std::vector<std::string> argv_;
  std::string out_path_, err_path_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  std::optional<int> status_;
};

// Reads a whole file ("" when missing).
std::string read_text_file(const std::string& path);

// Polls `path` until it contains `text` (or the timeout passes).
bool wait_for_file_text(const std::string& path, const std::string& text,
                        std::chrono::milliseconds timeout);

}  // namespace halvex::testing
