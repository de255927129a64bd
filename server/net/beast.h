// The Boost.Beast and Asio names the server's network code uses, in one
// place: the listener and sessions (server/net/) and the admin API's HTTPS
// client (client.cc), the only files that include Beast.

#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace halvex::server::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using Stream = beast::ssl_stream<beast::tcp_stream>;

}  // namespace halvex::server::net
