// An HTTPS client for the server's tests, on libcurl as the agent's is:
// one handle, so consecutive requests share a kept-alive connection.
// Used by one thread at a time.

#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
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
    Reply reply;
    curl_easy_reset(curl_);
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
    if (method == "POST") {
      // Ask before sending a body, as curl does on its own above 1 MiB.
      headers = curl_slist_append(headers, "Expect: 100-continue");
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl_easy_perform(curl_);
    curl_slist_free_all(headers);
    EXPECT_EQ(rc, CURLE_OK) << curl_easy_strerror(rc) << " " << target;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &reply.new_connections);
    return reply;
  }

 private:
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
