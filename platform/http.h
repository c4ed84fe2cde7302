// http: one synchronous HTTP or HTTPS request over libcurl (opened at the
// first request), for the HTTP service (services/http.h). Text crosses this layer as UTF-8 bytes; nothing
// here knows Kel values.
//
// The transfer keeps to what the service promises its callers: only http and
// https, for the request and for every redirect (a redirect elsewhere is a
// failed transfer); redirects followed; TLS certificates verified; 60 s to
// connect and 30 s without progress at most; bodies taken as sent (no
// Accept-Encoding); and no request header beyond the caller's own but Host
// and Content-Length (curl's Accept, Expect and form Content-Type removed).
#pragma once
#include <string>
#include <vector>

namespace kel::platform::http {

struct header {
    std::string name, value;
};

struct request {
    std::string method;  // "GET", "HEAD", "POST" or any other token
    std::string url;
    std::vector<header> headers;  // sent in this order
    bool has_body = false;        // false: no body at all
    std::string body;
};

struct response {
    long status = 0;
    // The header lines of the last response (after redirects and interim
    // 1xx answers), each with its line end, the status line included.
    std::string headers;
    std::string body;
};

// False when the transfer failed (name lookup, connection, TLS, time-out, a
// redirect to another scheme ...); an HTTP status of any value is an answer.
bool perform(const request& q, response& out);

}  // namespace kel::platform::http
