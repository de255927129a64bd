// Writes the HTTP replies of a connection: an App answer (HttpResponse)
// held in memory, or a file of the files folder streamed from disk. Both
// carry the same header block (Server, Content-Type, and the headers that
// keep browsers from caching a reply, guessing its type, framing it or
// running what it holds), set in one place, set_reply_headers().
//
// Threads: called on the connection's strand, one reply at a time; `done`
// runs there too, once, when the reply is written or the write failed. The
// caller keeps `stream` alive until then (its `done` holds the session).

#pragma once

#include <functional>
#include <string_view>

#include "server/admin/app.h"
#include "server/http/files.h"
#include "server/net/listener.h"

namespace halvex::server::net {

// How a reply goes out, from the request it answers.
struct ReplyShape {
  unsigned version = 11;  // HTTP/1.x of the request
  bool keep = false;      // the connection stays open after the reply
  bool head = false;      // a HEAD request: the header only, with the full Content-Length
};

using WriteDone = std::function<void(const error_code&)>;

// The header block every reply of the server starts with; no Content-Type
// when `content_type` is empty (a WebSocket handshake's answer).
void set_reply_headers(http::fields& headers, std::string_view content_type);

// Writes `res` (status, type, its own CSP or Content-Range when set,
// redirect, cookies, Retry-After, body).
void respond(Stream& stream, HttpResponse res, const ReplyShape& shape, WriteDone done);

// Streams the span [res.file_offset, res.file_offset + res.file_length) of
// the open file `fd` (which it takes over and closes), with res's status,
// type and Content-Range, in pieces, each under the request time limit, so
// a slow but moving download is never cut and the file's size is not bound
// by memory. False, with nothing written, when the file cannot be read
// there; the caller answers instead.
bool respond_open_file_span(Stream& stream, int fd, const HttpResponse& res,
                            const ReplyShape& shape, WriteDone done);

// The same for the file res.file_path names (which it opens). False, with nothing
// written, when the file cannot be opened at that offset; the caller
// answers instead. Should the file shrink meanwhile, the connection is
// closed: the answer cannot be completed.
bool respond_file_span(Stream& stream, const HttpResponse& res, const ReplyShape& shape,
                       WriteDone done);

}  // namespace halvex::server::net
