#include "server/net/http_responder.h"

#include <memory>
#include <string>
#include <utility>

namespace halvex::server::net {
namespace {

using FileReply = http::response<http::file_body>;
using FileSerializer = http::response_serializer<http::file_body>;

void write_file_piece(Stream& stream, std::shared_ptr<FileReply> out, std::shared_ptr<FileSerializer> sr,
                      bool head, WriteDone done) {
  beast::get_lowest_layer(stream).expires_after(kRequestTimeout);
  auto next = [&stream, out, sr, head, done = std::move(done)](const error_code& ec, size_t) mutable {
    if (!ec && !(head ? sr->is_header_done() : sr->is_done())) {
      write_file_piece(stream, out, sr, head, std::move(done));
      return;
    }
    done(ec);
  };
  if (head)
    http::async_write_header(stream, *sr, std::move(next));
  else
    http::async_write_some(stream, *sr, std::move(next));
}

}  // namespace

void set_reply_headers(http::fields& headers, std::string_view content_type) {
  headers.set(http::field::server, "halvex-recovery-server");
  if (!content_type.empty()) headers.set(http::field::content_type, beast::string_view(content_type.data(), content_type.size()));
  headers.set(http::field::cache_control, "no-store");
  headers.set("X-Content-Type-Options", "nosniff");
  headers.set("X-Frame-Options", "DENY");
  headers.set("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
}

void respond(Stream& stream, HttpResponse res, const ReplyShape& shape, WriteDone done) {
  auto out = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(res.status), shape.version);
  set_reply_headers(*out, res.content_type);
  if (!res.location.empty()) out->set(http::field::location, res.location);
  for (const std::string& c : res.set_cookies) out->insert(http::field::set_cookie, c);
  if (res.retry_after > 0) out->set(http::field::retry_after, std::to_string(res.retry_after));
  if (res.status == 401 && res.content_type.find("json") != std::string::npos)
    out->set(http::field::www_authenticate, "Bearer");
  out->keep_alive(shape.keep);
  out->body() = std::move(res.body);
  out->prepare_payload();
  if (shape.head) out->body().clear();  // Content-Length stays that of the page
  beast::get_lowest_layer(stream).expires_after(kRequestTimeout);
  http::async_write(stream, *out, [out, done = std::move(done)](const error_code& ec, size_t) { done(ec); });
}

bool respond_file(Stream& stream, const FileServe& f, const ReplyShape& shape, WriteDone done) {
  auto out = std::make_shared<FileReply>(http::status::ok, shape.version);
  set_reply_headers(*out, "application/octet-stream");
  out->keep_alive(shape.keep);
  beast::file file;
  file.native_handle(f.fd);  // the file now owns the descriptor
  error_code ec;
  out->body().reset(std::move(file), ec);
  if (ec) return false;
  out->content_length(f.size);
  auto sr = std::make_shared<FileSerializer>(*out);
  if (shape.head) sr->split(true);  // the header only
  write_file_piece(stream, out, sr, shape.head, std::move(done));
  return true;
}

}  // namespace halvex::server::net
