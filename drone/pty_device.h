// A simulated drone on a real pseudo-terminal, for the serial tests. The
// terminal's other end is linked into a port folder under a port name
// (ttyUSB0 ...), where the drone link finds it like a USB serial adapter.
//
// The device runs on its own thread: it keeps every byte it receives,
// talks DUML unprompted, answers the probe frame, or stays silent, and on
// request sends a stream of packets or a burst. The test thread calls the
// public methods; they are thread-safe.

#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "drone/duml_frames.h"

namespace halvex::testing {

class PtyDevice {
 public:
  enum Mode { kSilent, kTalker, kAnswersProbe };

  explicit PtyDevice(Mode mode, std::string probe = kDefaultProbe)
      : mode_(mode), probe_(std::move(probe)) {}
  ~PtyDevice() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Makes the terminal, links it as `link_path` and starts the device.
  bool start(const std::string& link_path) {
    char name[128];
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return false;
    // Raw from the start: a terminal in its default mode would echo the
    // agent's bytes back and hold input until a newline.
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (::symlink(name, link_path.c_str()) != 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  // `count` packets of `size` bytes, one every `interval_ms`; packet k is
  // 0x55, k, then the bytes k + 2, k + 3, ... (mod 256).
  void stream(int count, size_t size, int interval_ms) {
    std::lock_guard<std::mutex> lock(mu_);
    for (int k = 0; k < count; k++)
      pending_.push_back({packet(k, size), std::chrono::milliseconds(interval_ms * k)});
    stream_start_ = std::chrono::steady_clock::now();
  }
  static std::string packet(int k, size_t size) {
    std::string p(size, '\0');
    p[0] = '\x55';
    for (size_t i = 1; i < size; i++) p[i] = static_cast<char>(k + i);
    return p;
  }

  // Sends `bytes` at once, as fast as the terminal takes them.
  void burst(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back({bytes, std::chrono::milliseconds(0)});
    stream_start_ = std::chrono::steady_clock::now();
  }

  void stop_talking() { mode_ = kSilent; }

  // The device is unplugged: its end of the terminal closes.
  void go_away() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(master_);
    master_ = -1;
  }

  std::string received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  bool stream_sent() {
    std::lock_guard<std::mutex> lock(mu_);
    return pending_.empty();
  }

 private:
  struct Pending {
    std::string bytes;
    std::chrono::milliseconds at;
  };

  void write_all(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
  }

  void run() {
    auto last_talk = std::chrono::steady_clock::now();
    size_t scanned = 0;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, 5);
      char buf[4096];
      ssize_t n = (p.revents & POLLIN) ? ::read(master_, buf, sizeof buf) : 0;
      std::string reply;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (n > 0) received_.append(buf, static_cast<size_t>(n));
        if (mode_ == kAnswersProbe && received_.size() >= probe_.size()) {
          size_t at = received_.find(probe_, scanned);
          if (at != std::string::npos) {
            reply = kDeviceFrame;
            scanned = at + probe_.size();
          }
        }
      }
      auto now = std::chrono::steady_clock::now();
      if (mode_ == kTalker && now - last_talk > std::chrono::milliseconds(100)) {
        reply += kDeviceFrame;
        last_talk = now;
      }
      if (!reply.empty()) write_all(reply);
      send_due(now);
    }
  }

  void send_due(std::chrono::steady_clock::time_point now) {
    for (;;) {
      std::string bytes;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (pending_.empty() || now - stream_start_ < pending_.front().at) return;
        bytes = pending_.front().bytes;
      }
      write_all(bytes);
      std::lock_guard<std::mutex> lock(mu_);
      pending_.pop_front();
    }
  }

  std::atomic<Mode> mode_;
  const std::string probe_;
  int master_ = -1, slave_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::string received_;
  std::deque<Pending> pending_;
  std::chrono::steady_clock::time_point stream_start_;
};

}  // namespace halvex::testing
