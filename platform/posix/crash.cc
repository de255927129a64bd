// Fatal-signal recording. The handler runs on an alternate stack (so a
// stack overflow can still be recorded) and uses only async-signal-safe
// calls: no stdio, no malloc, no localtime. Local time comes from the UTC
// offset noted when the log path was set.

#include "platform/crash.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace halvex {

namespace {

// Room for the handler's frame and its small line buffer, with a wide margin.
constexpr size_t kAltStackBytes = 64 * 1024;

const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

char g_path[4096];
std::atomic<long> g_utc_offset{0};  // seconds east of UTC
std::atomic<bool> g_crashing{false};

// Small append-only text builder over a fixed buffer.
struct Line {
  char buf[160];
  size_t len = 0;
  void put(const char* s) {
    while (*s && len < sizeof buf) buf[len++] = *s++;
  }
  void digits(uint64_t v, int width) {  // zero-padded decimal
    char tmp[24];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0);
    while (n < width) tmp[n++] = '0';
    while (n > 0 && len < sizeof buf) buf[len++] = tmp[--n];
  }
  void hex(uint64_t v, int width, bool upper) {
    const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[20];
    int n = 0;
    do {
      tmp[n++] = d[v & 15];
      v >>= 4;
    } while (v > 0);
    while (n < width) tmp[n++] = '0';
    while (n > 0 && len < sizeof buf) buf[len++] = tmp[--n];
  }
};

// Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// "%Y-%m-%dT%H:%M:%S" of the local time.
void put_timestamp(Line* line) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t t = static_cast<int64_t>(ts.tv_sec) + g_utc_offset.load();
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  int64_t secs = t - days * 86400;
  int64_t y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  line->digits(static_cast<uint64_t>(y), 4);
  line->put("-");
  line->digits(m, 2);
  line->put("-");
  line->digits(d, 2);
  line->put("T");
  line->digits(static_cast<uint64_t>(secs / 3600), 2);
  line->put(":");
  line->digits(static_cast<uint64_t>(secs / 60 % 60), 2);
  line->put(":");
  line->digits(static_cast<uint64_t>(secs % 60), 2);
}

void on_fatal_signal(int sig, siginfo_t* info, void*) {
  // Only the first crashing thread records; others just die.
  if (!g_crashing.exchange(true) && g_path[0] != '\0') {
    int fd = ::open(g_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      Line line;
      line.put("[");
      put_timestamp(&line);
      line.put("] CRASH: exception code 0x");
      line.hex(static_cast<unsigned>(sig), 8, true);
      line.put(" at address ");
      auto addr = reinterpret_cast<uintptr_t>(info != nullptr ? info->si_addr : nullptr);
      if (addr == 0) {
        line.put("(nil)");
      } else {
        line.put("0x");
        line.hex(addr, 1, false);
      }
      line.put("\n");
      ssize_t ignored = ::write(fd, line.buf, line.len);
      (void)ignored;
      ::close(fd);
    }
  }
  // Die of the same signal, with its default action (core dump, exit status).
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void crash_install() {
  static char alt_stack[kAltStackBytes];
  stack_t ss{};
  ss.ss_sp = alt_stack;
  ss.ss_size = sizeof alt_stack;
  ::sigaltstack(&ss, nullptr);

  struct sigaction sa {};
  sa.sa_sigaction = on_fatal_signal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

CrashThreadStack::CrashThreadStack() {
  static_assert(sizeof(stack_t) <= sizeof previous_, "stack_t does not fit");
  buffer_ = std::malloc(kAltStackBytes);
  if (buffer_ == nullptr) return;
  stack_t ss{};
  ss.ss_sp = buffer_;
  ss.ss_size = kAltStackBytes;
  if (::sigaltstack(&ss, reinterpret_cast<stack_t*>(previous_)) != 0) {
    std::free(buffer_);
    buffer_ = nullptr;
  }
}

CrashThreadStack::~CrashThreadStack() {
  if (buffer_ == nullptr) return;
  // Put back the thread's earlier stack (or none), so that nothing refers
  // to the buffer once it is freed.
  ::sigaltstack(reinterpret_cast<const stack_t*>(previous_), nullptr);
  std::free(buffer_);
}

void crash_set_log_path(const char* path) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) != nullptr) g_utc_offset = local.tm_gmtoff;
  size_t n = std::strlen(path);
  if (n >= sizeof g_path) n = sizeof g_path - 1;
  std::memcpy(g_path, path, n);
  g_path[n] = '\0';
}

}  // namespace halvex
