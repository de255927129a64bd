// POSIX serial ports: termios, TIOCEXCL and poll.

#include "platform/serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace halvex {

struct SerialPort {
  int fd = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

bool is_port_name(const char* name) {
  return std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0;
}

bool baud_constant(uint32_t baud, speed_t* out) {
  switch (baud) {
    case 9600:
      *out = B9600;
      return true;
    case 19200:
      *out = B19200;
      return true;
    case 38400:
      *out = B38400;
      return true;
    case 57600:
      *out = B57600;
      return true;
    case 115200:
      *out = B115200;
      return true;
    case 230400:
      *out = B230400;
      return true;
    case 460800:
      *out = B460800;
      return true;
    case 921600:
      *out = B921600;
      return true;
    default:
      return false;
  }
}

// Raw 8N1 with the modem lines and every kind of flow control off. The
// descriptor is non-blocking, so VMIN and VTIME play no part; poll waits.
bool set_raw(int fd, speed_t speed) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

int ms_left(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// poll for `events`; 1 ready, 0 timed out, -1 failed. EINTR waits again
// for what is left of the time.
int wait_for(int fd, short events, int timeout_ms, short* revents) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r >= 0) {
      *revents = p.revents;
      return r > 0 ? 1 : 0;
    }
    if (errno != EINTR) return -1;
    timeout_ms = ms_left(deadline);
  }
}

}  // namespace

void SerialPortCloser::operator()(SerialPort* port) const {
  if (!port) return;
  // Exclusive use ends with us rather than with the last holder of the
  // terminal, so the next open (ours or another program's) is not refused.
  ::ioctl(port->fd, TIOCNXCL);
  ::close(port->fd);
  delete port;
}

std::string serial_default_port_dir() { return "/dev"; }

bool serial_list_ports(const std::string& dir, std::vector<std::string>* names,
                       std::string* error) {
  names->clear();
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    *error = errno_text("list ports in " + dir);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    if (!is_port_name(e->d_name)) continue;
    struct stat st {};
    if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode))
      names->push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

SerialPtr serial_open(const std::string& path, uint32_t baud, std::string* error) {
  speed_t speed;
  if (!baud_constant(baud, &speed)) {
    *error = "open " + path + ": rate " + std::to_string(baud) + " not offered";
    return nullptr;
  }
  // O_NONBLOCK also keeps the open itself from waiting for carrier detect.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = errno_text("open " + path);
    return nullptr;
  }
  SerialPtr port(new SerialPort{fd});
  if (!::isatty(fd)) {
    *error = "open " + path + ": not a terminal";
    return nullptr;
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    *error = errno_text("lock " + path);
    return nullptr;
  }
  if (!set_raw(fd, speed)) {
    *error = errno_text("set up " + path);
    return nullptr;
  }
  return port;
}

long serial_read(SerialPort& port, uint8_t* buf, size_t len, uint32_t interval_ms,
                 uint32_t total_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total_ms);
  size_t got = 0;
  while (got < len) {
    int wait = ms_left(deadline);
    if (got > 0) wait = std::min(wait, static_cast<int>(interval_ms));
    if (wait == 0 && got > 0) break;
    short revents = 0;
    int r = wait_for(port.fd, POLLIN, wait, &revents);
    if (r < 0) return got > 0 ? static_cast<long>(got) : -1;
    if (r == 0) {
      if (got > 0 || ms_left(deadline) == 0) break;
      continue;
    }
    ssize_t n = ::read(port.fd, buf + got, len - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // A terminal that reads as end of file has hung up: the device is gone.
    return got > 0 ? static_cast<long>(got) : -1;
  }
  return static_cast<long>(got);
}

long serial_write(SerialPort& port, const uint8_t* data, size_t len, uint32_t timeout_ms) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(port.fd, data + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return done > 0 ? static_cast<long>(done) : -1;
    short revents = 0;
    int left = ms_left(deadline);
    if (left == 0 || wait_for(port.fd, POLLOUT, left, &revents) <= 0) break;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return done > 0 ? static_cast<long>(done) : -1;
  }
  return static_cast<long>(done);
}

}  // namespace halvex
