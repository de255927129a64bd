// WebSocket transport on WinHTTP in asynchronous mode.
//
// Asynchronous because only there can a receive be ended: a synchronous
// WinHttpWebSocketReceive waits for ever on a silent server (no time-out
// applies to the WebSocket handle, and neither closing nor shutting the
// handle from another thread releases it), while closing the handle in
// asynchronous mode ends a pending receive at once with
// ERROR_WINHTTP_OPERATION_CANCELLED.
//
// Each call starts one WinHTTP operation and waits for its completion,
// which WinHTTP reports through status_callback on a thread of its own (or
// inline, on the calling thread). The state the callback reaches lives in
// a Shared record that outlives the transport object until WinHTTP has
// reported the closing of every handle that points at it.

#include "platform/ws_transport.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/win32/text.h"
#include "platform/win32/tls_winhttp.h"
#include "platform/win32/winhttp_errors.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD kStepTimeoutMs = 10000;
// How long a close waits for its close frame to go out before it drops the
// connection anyway.
constexpr auto kCloseWait = milliseconds(2000);
// How long the destructor waits for WinHTTP to let go of the handles. A
// send that the link stopped taking can hold its handle until the send
// time-out (wine does not end it when the handle is closed); the record is
// then left to it.
constexpr auto kReleaseWait = milliseconds(2000);
// A message is sent in fragments of this size, so that each completion
// shows progress and the stall limit applies to the link, not to the
// length of the message.
constexpr size_t kFragment = 32 * 1024;

// What one asynchronous operation reported.
struct Op {
  bool done = false;
  DWORD error = 0;
  DWORD bytes = 0;
  WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;

  void start() { *this = Op{}; }
};

struct Shared;

// The context value of one handle: which record, and which handle.
struct HandleTag {
  Shared* shared;
  bool websocket;
};

// Everything the status callback touches. Guarded by mu.
struct Shared {
  std::mutex mu;
  std::condition_variable cv;
  HandleTag request_tag{this, false};
  HandleTag ws_tag{this, true};
  int open_handles = 0;  // handles with a tag whose closing is still due
  Op step;               // the connect step under way on the request
  Op read;
  Op write;
  Op shutdown;
  // The fragment being sent. A send that stalls is abandoned, but WinHTTP
  // may still read its bytes afterwards, so they are not the caller's.
  std::vector<char> outgoing;
  DWORD secure_flags = 0;  // WINHTTP_CALLBACK_STATUS_FLAG_* of a TLS failure
};

void complete(Shared* s, Op* op, DWORD error, DWORD bytes = 0,
              WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
  op->done = true;
  op->error = error;
  op->bytes = bytes;
  op->type = type;
  s->cv.notify_all();
}

void on_request_status(Shared* s, DWORD status, void* info) {
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      complete(s, &s->step, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
      s->secure_flags = *static_cast<DWORD*>(info);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      complete(s, &s->step, static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError);
      break;
    default:
      break;
  }
}

void on_websocket_status(Shared* s, DWORD status, void* info) {
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: {
      auto* ws = static_cast<WINHTTP_WEB_SOCKET_STATUS*>(info);
      complete(s, &s->read, 0, ws->dwBytesTransferred, ws->eBufferType);
      break;
    }
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      complete(s, &s->write, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_CLOSE_COMPLETE:
      complete(s, &s->shutdown, 0);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
      auto* r = static_cast<WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info);
      DWORD error = r->AsyncResult.dwError;
      if (r->Operation == WINHTTP_WEB_SOCKET_RECEIVE_OPERATION)
        complete(s, &s->read, error);
      else if (r->Operation == WINHTTP_WEB_SOCKET_SEND_OPERATION)
        complete(s, &s->write, error);
      else
        complete(s, &s->shutdown, error);
      break;
    }
    default:
      break;
  }
}

void CALLBACK status_callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
  auto* tag = reinterpret_cast<HandleTag*>(context);
  if (tag == nullptr) return;  // the session and connection handles carry none
  Shared* s = tag->shared;
  std::lock_guard<std::mutex> lock(s->mu);
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    s->open_handles--;
    s->cv.notify_all();
    return;
  }
  if (tag->websocket)
    on_websocket_status(s, status, info);
  else
    on_request_status(s, status, info);
}

// The first problem named by the flags of a TLS failure.
std::string secure_cause(DWORD flags) {
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
    return "certificate verify failed: host name mismatch";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA)
    return "certificate verify failed: unknown CA";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
    return "certificate verify failed: expired";
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED)
    return "certificate verify failed: revoked";
  return "certificate verify failed";
}

WsConnectResult failed(WsConnectStep step, DWORD code, std::string cause = "") {
  WsConnectResult r;
  r.step = step;
  r.code = code;
  r.cause = cause.empty() ? win32::winhttp_cause(code) : std::move(cause);
  return r;
}

class WinHttpTransport final : public WsTransport {
 public:
  explicit WinHttpTransport(const WsTransportLimits& limits)
      : write_stall_(limits.write_stall), s_(new Shared) {}

  ~WinHttpTransport() override {
    close();
    close_all_handles();
    std::unique_lock<std::mutex> lock(s_->mu);
    if (s_->cv.wait_for(lock, kReleaseWait, [&] { return s_->open_handles == 0; })) {
      lock.unlock();
      delete s_;
    }
    // Otherwise WinHTTP may still call back into the record: it is left.
  }

  WsConnectResult connect(const WsEndpoint& ep) override {
    std::wstring host = win32::to_wide(bare_host(ep.host));
    HINTERNET session =
        WinHttpOpen(win32::to_wide(ep.user_agent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session == nullptr) return failed(WsConnectStep::kOpen, GetLastError());
    if (!adopt(&session_, session))
      return failed(WsConnectStep::kOpen, ERROR_WINHTTP_OPERATION_CANCELLED);
    // The receive side of the link waits without limit; the steps below
    // carry their own deadline as well.
    WinHttpSetTimeouts(session, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs, 0);
    if (WinHttpSetStatusCallback(session, status_callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      return failed(WsConnectStep::kOpen, GetLastError());
    }

    HINTERNET connection = WinHttpConnect(session, host.c_str(), ep.port, 0);
    if (connection == nullptr) return failed(WsConnectStep::kResolve, GetLastError());
    if (!adopt(&connection_, connection))
      return failed(WsConnectStep::kResolve, ERROR_WINHTTP_OPERATION_CANCELLED);

    WsConnectResult r = open_request(ep, connection);
    if (r.step != WsConnectStep::kOk) return r;
    r = send_upgrade_request(host);
    if (r.step != WsConnectStep::kOk) return r;
    return complete_upgrade();
  }

  WsReadResult read(char* buf, size_t cap) override {
    WsReadResult r;
    HINTERNET ws = websocket();
    if (ws == nullptr) {
      r.code = ERROR_WINHTTP_OPERATION_CANCELLED;
      return r;
    }
    DWORD error = start_and_wait(&s_->read, [&] {
      return WinHttpWebSocketReceive(ws, buf, static_cast<DWORD>(std::min<size_t>(cap, MAXDWORD)),
                                     nullptr, nullptr);
    });
    if (error != 0) {
      r.code = error;
      return r;
    }
    switch (s_->read.type) {
      case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE:
      case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE:
        r.kind = WsReadKind::kFragment;
        break;
      case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE:
      case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE:
        r.kind = WsReadKind::kMessage;
        break;
      default:
        r.kind = WsReadKind::kClose;
        return r;
    }
    r.bytes = s_->read.bytes;
    r.binary = s_->read.type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE ||
               s_->read.type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    return r;
  }

  bool write_text(const char* data, size_t len, unsigned long* code) override {
    HINTERNET ws = websocket();
    if (ws == nullptr) {
      *code = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
      return false;
    }
    // Fragments of one message; the last one ends it (an empty message is
    // one empty last fragment).
    size_t offset = 0;
    do {
      size_t n = std::min(kFragment, len - offset);
      bool last = offset + n == len;
      auto type = last ? WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE
                       : WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
      DWORD error = send_fragment(ws, type, data + offset, n);
      if (error != 0) {
        // Part of a message may have gone out: the link cannot carry on.
        close_all_handles();
        *code = error;
        return false;
      }
      offset += n;
    } while (offset < len);
    *code = 0;
    return true;
  }

  void close() override {
    HINTERNET ws = nullptr;
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      if (closed_) return;
      closed_ = true;
      ws = ws_;
    }
    if (ws != nullptr) {
      // The close frame goes out when the link takes it; a link that does
      // not is dropped after kCloseWait.
      start_and_wait(
          &s_->shutdown,
          [&] {
            return WinHttpWebSocketShutdown(ws, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr,
                                            0);
          },
          kCloseWait, true);
    }
    // Closing the handles ends whatever is pending on them (a receive, a
    // connect step) with ERROR_WINHTTP_OPERATION_CANCELLED.
    close_all_handles();
  }

 private:
  // Removes IPv6 brackets: WinHttpConnect takes the bare address.
  static std::string bare_host(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      return host.substr(1, host.size() - 2);
    return host;
  }

  HINTERNET websocket() {
    std::lock_guard<std::mutex> lock(s_->mu);
    return closed_ ? nullptr : ws_;
  }

  // Keeps `h` in *slot unless the transport was closed meanwhile, in which
  // case `h` is closed at once.
  bool adopt(HINTERNET* slot, HINTERNET h, bool tagged = false) {
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      if (tagged) s_->open_handles++;
      if (!closed_) {
        *slot = h;
        return true;
      }
    }
    WinHttpCloseHandle(h);
    return false;
  }

  void close_all_handles() {
    HINTERNET handles[4];
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      HINTERNET* slots[4] = {&ws_, &request_, &connection_, &session_};
      for (int i = 0; i < 4; i++) {
        handles[i] = *slots[i];
        *slots[i] = nullptr;
      }
    }
    // Without the lock: WinHTTP may call back on this thread.
    for (HINTERNET h : handles)
      if (h != nullptr) WinHttpCloseHandle(h);
  }

  // Starts an operation whose completion comes to *op, and waits for it, at
  // most `limit`. When the limit passes, the connection is dropped (which
  // completes the operation) and ERROR_WINHTTP_TIMEOUT is the result.
  // `sync_done`: the call may finish at once, and then says so by
  // returning ERROR_SUCCESS rather than ERROR_IO_PENDING, with no callback.
  template <class Start>
  DWORD start_and_wait(Op* op, Start start, milliseconds limit = milliseconds::max(),
                       bool sync_done = false) {
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      op->start();
    }
    DWORD started = start();
    if (started == ERROR_SUCCESS && sync_done) return ERROR_SUCCESS;
    if (started != ERROR_SUCCESS && started != ERROR_IO_PENDING) return started;
    return wait(op, limit);
  }

  // Like start_and_wait for the calls that report their start as a BOOL.
  template <class Start>
  DWORD start_bool_and_wait(Op* op, Start start, milliseconds limit) {
    return start_and_wait(
        op, [&]() -> DWORD { return start() ? ERROR_SUCCESS : GetLastError(); }, limit);
  }

  DWORD wait(Op* op, milliseconds limit) {
    std::unique_lock<std::mutex> lock(s_->mu);
    bool in_time = limit == milliseconds::max()
                       ? (s_->cv.wait(lock, [&] { return op->done; }), true)
                       : s_->cv.wait_for(lock, limit, [&] { return op->done; });
    if (in_time) return op->error;
    lock.unlock();
    // Closing ends the operation; no caller's buffer is in one that has a
    // limit, so there is no need to wait for that.
    close_all_handles();
    return ERROR_WINHTTP_TIMEOUT;
  }

  WsConnectResult open_request(const WsEndpoint& ep, HINTERNET connection) {
    HINTERNET request = WinHttpOpenRequest(
        connection, L"GET", win32::to_wide(ep.path).c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, ep.secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return failed(WsConnectStep::kSend, GetLastError());
    // The tag before anything else, so that even an early close reports
    // the handle's end to this transport.
    DWORD_PTR tag = reinterpret_cast<DWORD_PTR>(&s_->request_tag);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &tag, sizeof tag)) {
      DWORD error = GetLastError();
      WinHttpCloseHandle(request);
      return failed(WsConnectStep::kSend, error);
    }
    if (!adopt(&request_, request, true))
      return failed(WsConnectStep::kSend, ERROR_WINHTTP_OPERATION_CANCELLED);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
      return failed(WsConnectStep::kSend, GetLastError());
    std::string trust_error;
    if (ep.secure && !win32::tls_prepare_request(request, &trust_error))
      return failed(WsConnectStep::kOpen, ERROR_WINHTTP_SECURE_FAILURE, trust_error);
    return {};
  }

  // Sends the upgrade request and reads the reply's headers. With a pinned
  // CA the server's chain is checked here, before the upgrade completes and
  // any WebSocket data can go out.
  WsConnectResult send_upgrade_request(const std::wstring& host) {
    HINTERNET request = nullptr;
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      request = request_;
    }
    DWORD_PTR tag = reinterpret_cast<DWORD_PTR>(&s_->request_tag);
    DWORD error = start_bool_and_wait(
        &s_->step,
        [&] {
          return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                    WINHTTP_NO_REQUEST_DATA, 0, 0, tag);
        },
        milliseconds(kStepTimeoutMs));
    if (error != 0) {
      std::lock_guard<std::mutex> lock(s_->mu);
      if (s_->secure_flags != 0 || error == ERROR_WINHTTP_SECURE_FAILURE)
        return failed(WsConnectStep::kSend, error, secure_cause(s_->secure_flags));
      return failed(WsConnectStep::kSend, error);
    }
    error = start_bool_and_wait(
        &s_->step, [&] { return WinHttpReceiveResponse(request, nullptr); },
        milliseconds(kStepTimeoutMs));
    if (error != 0) return failed(WsConnectStep::kReceive, error);
    DWORD code = 0;
    std::string trust_error;
    if (!win32::tls_check_peer(request, host, &code, &trust_error))
      return failed(WsConnectStep::kSend, code, trust_error);
    return {};
  }

  WsConnectResult complete_upgrade() {
    HINTERNET request = nullptr;
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      request = request_;
    }
    // Some WinHTTP implementations (wine's) complete an upgrade that the
    // server answered with an ordinary reply, so the status is checked
    // here first.
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    std::string refused = "upgrade refused with HTTP " + std::to_string(status);
    if (status != HTTP_STATUS_SWITCH_PROTOCOLS)
      return failed(WsConnectStep::kUpgrade, ERROR_WINHTTP_INVALID_SERVER_RESPONSE, refused);
    HINTERNET ws =
        WinHttpWebSocketCompleteUpgrade(request, reinterpret_cast<DWORD_PTR>(&s_->ws_tag));
    if (ws == nullptr) return failed(WsConnectStep::kUpgrade, GetLastError());
    if (!adopt(&ws_, ws, true))
      return failed(WsConnectStep::kUpgrade, ERROR_WINHTTP_OPERATION_CANCELLED);
    // The request has served its purpose; the WebSocket handle stands alone.
    request = nullptr;
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      std::swap(request, request_);
    }
    if (request != nullptr) WinHttpCloseHandle(request);
    return {};
  }

  // One fragment, which must be taken within the stall limit.
  DWORD send_fragment(HINTERNET ws, WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const char* data,
                      size_t n) {
    s_->outgoing.assign(data, data + n);  // only this thread sends
    auto limit = std::chrono::duration_cast<milliseconds>(write_stall_);
    return start_and_wait(
        &s_->write,
        [&] { return WinHttpWebSocketSend(ws, type, s_->outgoing.data(), static_cast<DWORD>(n)); },
        limit);
  }

  const Clock::duration write_stall_;
  Shared* s_;
  // Guarded by s_->mu.
  bool closed_ = false;
  HINTERNET session_ = nullptr;
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
  HINTERNET ws_ = nullptr;
};

}  // namespace

std::unique_ptr<WsTransport> ws_transport_create(const WsTransportLimits& limits) {
  return std::make_unique<WinHttpTransport>(limits);
}

}  // namespace halvex
