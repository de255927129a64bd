// Uploads with a wrong token against the real recovery-server: the answer
// must come from the request head alone, before the server reads (or asks
// for) a body of hundreds of MiB, and nothing may reach its spool folder.
// The client is a hand-made HTTPS one that sends the head and then only
// listens.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <filesystem>
#include <iterator>

#include "tests/integration/server_process.h"

namespace halvex {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

constexpr uint64_t kBodyBytes = 300ull << 20;

// Sends only the head of a POST announcing kBodyBytes, then reads the first
// answer for up to 10 s. Its status, or -1 with *error.
int post_head_only(uint16_t port, const std::string& ca, const std::string& target, bool expect,
                   std::string* error) {
  asio::io_context ioc;
  asio::ssl::context ctx(asio::ssl::context::tls_client);
  ctx.load_verify_file(ca);
  ctx.set_verify_mode(asio::ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> s(ioc, ctx);
  SSL_set_tlsext_host_name(s.native_handle(), "localhost");
  beast::error_code ec;
  beast::get_lowest_layer(s).expires_after(std::chrono::seconds(10));
  beast::get_lowest_layer(s).connect(
      asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
  if (!ec) s.handshake(asio::ssl::stream_base::client, ec);
  std::string head =
      "POST " + target +
      " HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; boundary=xyz\r\n"
      "Content-Length: " +
      std::to_string(kBodyBytes) + "\r\n" + (expect ? "Expect: 100-continue\r\n" : "") + "\r\n";
  if (!ec) asio::write(s, asio::buffer(head), ec);
  beast::flat_buffer buf;
  http::response<http::string_body> res;
  if (!ec) http::read(s, buf, res, ec);
  if (ec) {
    *error = ec.message();
    return -1;
  }
  return static_cast<int>(res.result_int());
}

using UploadTokenTest = testing::ServerTest;

TEST_F(UploadTokenTest, BadTokenIsRefusedFromTheHeadWithNothingSpooled) {
  ASSERT_TRUE(serve({}));
  const std::string spool = server_.data() + "/spool";
  for (const char* path :
       {"/api/remote/scanned_chunk", "/upload_chunk", "/api/remote/video_thumbnail"}) {
    for (const char* token : {"?token=not-a-token", ""}) {
      for (bool expect : {true, false}) {
        SCOPED_TRACE(std::string(path) + token +
                     (expect ? " with Expect: 100-continue" : " without Expect"));
        std::string error;
        EXPECT_EQ(post_head_only(server_.port(), server_.ca_file(), std::string(path) + token,
                                 expect, &error),
                  401)
            << error;
        std::error_code fec;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(spool, fec), {}), 0)
            << "files under " << spool;
      }
    }
  }
}

}  // namespace
}  // namespace halvex
