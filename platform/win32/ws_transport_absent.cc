// Not the agent's transport: the WinHTTP WebSocket transport is not written
// yet. Test programs whose code reaches the WebSocket client without ever
// connecting (the dispatcher and authentication tests) link this instead,
// and any connection they did attempt would fail at its first step. The
// agent links it only through the placeholder pending_absent.cc, until the
// WinHTTP transport lands.

#include <windows.h>

#include "platform/ws_transport.h"

namespace halvex {
namespace {

class AbsentTransport : public WsTransport {
 public:
  WsConnectResult connect(const WsEndpoint&) override {
    return {WsConnectStep::kOpen, ERROR_CALL_NOT_IMPLEMENTED, "no WebSocket transport on this build"};
  }
  WsReadResult read(char*, size_t) override { return {WsReadKind::kError, 0, false, ERROR_CALL_NOT_IMPLEMENTED}; }
  bool write_text(const char*, size_t, unsigned long* code) override {
    *code = ERROR_CALL_NOT_IMPLEMENTED;
    return false;
  }
  void close() override {}
};

}  // namespace

std::unique_ptr<WsTransport> ws_transport_create(const WsTransportLimits&) { return std::make_unique<AbsentTransport>(); }

}  // namespace halvex
