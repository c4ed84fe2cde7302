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
#include <cstddef>
#include <cstdint>
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
    // The most bytes the caller can take as a body (or as headers): the
    // transfer stops as soon as a response passes it.
    size_t most_bytes = SIZE_MAX;
};

// Bytes as they arrive, in one block grown by realloc (which moves a large
// block by remapping its pages rather than copying them), never past the
// limit it is given.
class received_bytes {
public:
    received_bytes() = default;
    received_bytes(received_bytes&& other) noexcept;
    received_bytes& operator=(received_bytes&& other) noexcept;
    received_bytes(const received_bytes&) = delete;
    received_bytes& operator=(const received_bytes&) = delete;
    ~received_bytes();

    const char* data() const { return bytes_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    void release();
    // False when the memory cannot be had; the bytes kept stay as they were.
    bool reserve(size_t capacity);
    // Room doubles as the bytes grow, but never past `most` (which the
    // caller has checked size() + n against).
    bool append(const char* from, size_t n, size_t most);

private:
    char* bytes_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

struct response {
    long status = 0;
    // The header lines of the last response (after redirects and interim
    // 1xx answers), each with its line end, the status line included.
    received_bytes headers;
    received_bytes body;
    // Why a failed transfer failed, in libcurl's words.
    std::string failure;
    // A failed transfer that stopped because the response passed most_bytes.
    bool too_large = false;
};

// False when the transfer failed (name lookup, connection, TLS, time-out, a
// redirect to another scheme, a response past the caller's limit ...), with
// the reason in `failure`; an HTTP status of any value is an answer.
bool perform(const request& q, response& out);

}  // namespace kel::platform::http
