// An HTTPS client for the server's tests, on libcurl as the agent's is:
// one handle, so consecutive requests share a kept-alive connection.
// Used by one thread at a time.

#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace halvex::server::testing {

struct Reply {
  long status = 0;
  std::string body;
  long new_connections = 0;  // connections opened for this request
  bool continued = false;    // the server sent "100 Continue"
};

// One curl handle, so requests share its kept-alive connection.
class Client {
 public:
  Client(uint16_t port, std::string ca)
      : port_(port), ca_(std::move(ca)), curl_(curl_easy_init()) {}
  ~Client() { curl_easy_cleanup(curl_); }

  Reply request(const std::string& method, const std::string& target, const std::string& body = "",
                const std::string& type = "", const std::string& auth = "") {
    curl_easy_reset(curl_);
    return perform(method, target, body, type, auth);
  }

  // POSTs `body` without asking first: curl then sends a small body in the
  // same write as the header.
  Reply post_at_once(const std::string& target, const std::string& body, const std::string& type) {
    curl_easy_reset(curl_);
    return perform("POST", target, body, type, "", nullptr, false, false);
  }

  // POSTs `body` from a read callback, with a Content-Length or, when
  // `chunked`, without one. `on_sending`, when given, runs once, when the
  // server has answered "100 Continue" and the body is about to go out.
  // With `cut_at`, the client gives up once it has sent that many bytes.
  Reply post_streamed(const std::string& target, const std::string& body, const std::string& type,
                      bool chunked, std::function<void()> on_sending, size_t cut_at = SIZE_MAX) {
    curl_easy_reset(curl_);
    Source source{body, 0, std::move(on_sending), cut_at};
    return perform("POST", target, "", type, "", &source, chunked);
  }

 private:
  struct Source {
    const std::string& body;
    size_t sent;
    std::function<void()> on_sending;
    size_t cut_at;
  };

  Reply perform(const std::string& method, const std::string& target, const std::string& body,
                const std::string& type, const std::string& auth, Source* source = nullptr,
                bool chunked = false, bool ask_first = true) {
    Reply reply;
    std::string url =
        (target.rfind("https://", 0) == 0 ? "" : "https://localhost:" + std::to_string(port_)) +
        target;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_.c_str());
    curl_easy_setopt(curl_, CURLOPT_USERAGENT, "Halvex_Service/1.0");
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Client::on_body);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Client::on_header);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.continued);
    curl_slist* headers = nullptr;
    if (!type.empty()) headers = curl_slist_append(headers, ("Content-Type: " + type).c_str());
    if (!auth.empty())
      headers = curl_slist_append(headers, ("Authorization: Bearer " + auth).c_str());
    if (chunked) headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    if (method == "POST") {
      // Ask before sending a body, as curl does on its own above 1 MiB.
      headers = curl_slist_append(headers, ask_first ? "Expect: 100-continue" : "Expect:");
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      if (source != nullptr) {
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, &Client::on_read);
        curl_easy_setopt(curl_, CURLOPT_READDATA, source);
        curl_easy_setopt(curl_, CURLOPT_EXPECT_100_TIMEOUT_MS, 60000L);
        if (!chunked)
          curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(source->body.size()));
      } else {
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      }
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(curl_);
    curl_slist_free_all(headers);
    bool gave_up = source != nullptr && source->sent >= source->cut_at;
    if (!gave_up) {
      EXPECT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc) << " " << target;
    }
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &reply.new_connections);
    return reply;
  }

  static size_t on_read(char* to, size_t size, size_t n, void* data) {
    Source* source = static_cast<Source*>(data);
    if (source->on_sending) {
      source->on_sending();
      source->on_sending = nullptr;
    }
    if (source->sent >= source->cut_at) return CURL_READFUNC_ABORT;
    size_t count =
        std::min({size * n, source->body.size() - source->sent, source->cut_at - source->sent});
    std::memcpy(to, source->body.data() + source->sent, count);
    source->sent += count;
    return count;
  }
  static size_t on_body(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  }
  static size_t on_header(char* data, size_t size, size_t n, void* continued) {
    if (std::string(data, size * n).rfind("HTTP/1.1 100", 0) == 0)
      *static_cast<bool*>(continued) = true;
    return size * n;
  }

  uint16_t port_;
  std::string ca_;
  CURL* curl_;
};

}  // namespace halvex::server::testing
