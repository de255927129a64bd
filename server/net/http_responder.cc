#include "server/net/http_responder.h"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace halvex::server::net {
namespace {

// The headers an App answer may set beyond the common block: a page's own
// CSP (the console's) and a ranged download's Content-Range.
void set_app_headers(http::fields& headers, const HttpResponse& res) {
  if (!res.csp.empty()) headers.set("Content-Security-Policy", res.csp);
  if (!res.content_range.empty()) headers.set(http::field::content_range, res.content_range);
}

// A file span being written: what is left of it, and the piece buffer.
struct FileSpan {
  beast::file file;
  uint64_t left = 0;
  std::vector<char> buf = std::vector<char>(64 * 1024);
};

void write_span_piece(Stream& stream, std::shared_ptr<FileSpan> span, WriteDone done) {
  if (span->left == 0) {
    done(error_code{});
    return;
  }
  error_code ec;
  size_t n =
      span->file.read(span->buf.data(), std::min<uint64_t>(span->left, span->buf.size()), ec);
  if (ec || n == 0) {  // the file shrank: the answer cannot be completed
    beast::get_lowest_layer(stream).close();
    done(ec ? ec : make_error_code(boost::system::errc::io_error));
    return;
  }
  span->left -= n;
  beast::get_lowest_layer(stream).expires_after(kRequestTimeout);
  asio::async_write(stream, asio::buffer(span->buf.data(), n),
                    [&stream, span, done = std::move(done)](const error_code& ec, size_t) mutable {
                      if (ec) {
                        done(ec);
                        return;
                      }
                      write_span_piece(stream, span, std::move(done));
                    });
}

bool send_span(Stream& stream, std::shared_ptr<FileSpan> span, const HttpResponse& res,
               const ReplyShape& shape, WriteDone done);

}  // namespace

void set_reply_headers(http::fields& headers, std::string_view content_type) {
  headers.set(http::field::server, "halvex-recovery-server");
  if (!content_type.empty())
    headers.set(http::field::content_type,
                beast::string_view(content_type.data(), content_type.size()));
  headers.set(http::field::cache_control, "no-store");
  headers.set("X-Content-Type-Options", "nosniff");
  headers.set("X-Frame-Options", "DENY");
  headers.set("Content-Security-Policy",
              "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
}

void respond(Stream& stream, HttpResponse res, const ReplyShape& shape, WriteDone done) {
  auto out = std::make_shared<http::response<http::string_body>>(
      static_cast<http::status>(res.status), shape.version);
  set_reply_headers(*out, res.content_type);
  set_app_headers(*out, res);
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
  http::async_write(stream, *out,
                    [out, done = std::move(done)](const error_code& ec, size_t) { done(ec); });
}

bool respond_open_file_span(Stream& stream, int fd, const HttpResponse& res,
                            const ReplyShape& shape, WriteDone done) {
  auto span = std::make_shared<FileSpan>();
  span->file.native_handle(fd);  // the span now owns the descriptor
  return send_span(stream, std::move(span), res, shape, std::move(done));
}

bool respond_file_span(Stream& stream, const HttpResponse& res, const ReplyShape& shape,
                       WriteDone done) {
  auto span = std::make_shared<FileSpan>();
  error_code ec;
  span->file.open(res.file_path.c_str(), beast::file_mode::scan, ec);
  if (ec) return false;
  return send_span(stream, std::move(span), res, shape, std::move(done));
}

namespace {

bool send_span(Stream& stream, std::shared_ptr<FileSpan> span, const HttpResponse& res,
               const ReplyShape& shape, WriteDone done) {
  error_code ec;
  span->file.seek(res.file_offset, ec);
  if (ec) return false;
  span->left = shape.head ? 0 : res.file_length;
  auto head = std::make_shared<http::response<http::empty_body>>(
      static_cast<http::status>(res.status), shape.version);
  set_reply_headers(*head, res.content_type);
  set_app_headers(*head, res);
  head->set(http::field::accept_ranges, "bytes");
  head->content_length(res.file_length);
  head->keep_alive(shape.keep);
  auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*head);
  beast::get_lowest_layer(stream).expires_after(kRequestTimeout);
  http::async_write_header(
      stream, *sr,
      [&stream, head, sr, span, done = std::move(done)](const error_code& ec, size_t) mutable {
        if (ec) {
          done(ec);
          return;
        }
        write_span_piece(stream, span, std::move(done));
      });
  return true;
}

}  // namespace

}  // namespace halvex::server::net
