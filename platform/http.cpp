// http: see http.h. One easy handle per request, made and cleaned up here;
// the callbacks only append bytes, so nothing can unwind through libcurl.
// libcurl is opened at the first request (platform/dynlib.h).
#include "platform/http.h"

#include <curl/curl.h>

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/dynlib.h"

namespace kel::platform::http {

namespace {

// The libcurl entry points this module calls, typed by the library's own
// declarations.
struct curl_api {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_easy_strerror) easy_strerror;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
};

curl_api curl;
bool curl_loaded = false;

void load_curl() {
    static const char* const names[] = {"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl.so", nullptr};
    void* lib = dynlib::open(names);
    curl_loaded = lib && dynlib::bind(lib, "curl_global_init", curl.global_init) &&
                  dynlib::bind(lib, "curl_easy_init", curl.easy_init) &&
                  dynlib::bind(lib, "curl_easy_setopt", curl.easy_setopt) &&
                  dynlib::bind(lib, "curl_easy_getinfo", curl.easy_getinfo) &&
                  dynlib::bind(lib, "curl_easy_perform", curl.easy_perform) &&
                  dynlib::bind(lib, "curl_easy_cleanup", curl.easy_cleanup) &&
                  dynlib::bind(lib, "curl_easy_strerror", curl.easy_strerror) &&
                  dynlib::bind(lib, "curl_slist_append", curl.slist_append) &&
                  dynlib::bind(lib, "curl_slist_free_all", curl.slist_free_all) &&
                  curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

// False when libcurl cannot be had: every request then fails as a transfer.
bool have_curl() {
    static std::once_flag once;
    std::call_once(once, load_curl);
    return curl_loaded;
}

struct sink {
    response* out;
    CURL* easy;
    size_t most_bytes;
    bool out_of_memory = false;
};

// Appends to a body or header text; false (the transfer must stop) past the
// caller's limit or when memory runs out. The text grows by doubling, but
// never past the limit, so a body at the limit holds no more than it.
bool take(sink* s, received_bytes& text, const char* data, size_t n) {
    if (n > s->most_bytes - text.size()) {
        s->out->too_large = true;
        return false;
    }
    if (!text.append(data, n, s->most_bytes)) {
        s->out_of_memory = true;
        return false;
    }
    return true;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    auto* s = static_cast<sink*>(user);
    // A body of announced length is received into one allocation; one
    // announced past the limit stops before anything is kept.
    if (s->out->body.empty()) {
        curl_off_t length = -1;
        if (curl.easy_getinfo(s->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) {
            if (static_cast<uint64_t>(length) > s->most_bytes) {
                s->out->too_large = true;
                return 0;
            }
            if (!s->out->body.reserve(static_cast<size_t>(length))) {
                s->out_of_memory = true;
                return 0;
            }
        }
    }
    return take(s, s->out->body, data, n) ? n : 0;  // a short count makes libcurl stop with an error
}

// A status line starts the headers of a new response: those of a redirect
// or of an interim 1xx answer are dropped.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    auto* s = static_cast<sink*>(user);
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) s->out->headers.clear();
    return take(s, s->out->headers, data, n) ? n : 0;
}

bool named_q(const std::vector<header>& headers, const char* name) {
    for (const header& h : headers)
        if (strcasecmp(h.name.c_str(), name) == 0) return true;
    return false;
}

struct handles {
    CURL* easy = curl.easy_init();
    curl_slist* list = nullptr;
    ~handles() {
        curl.slist_free_all(list);
        if (easy) curl.easy_cleanup(easy);
    }
    bool add(const std::string& line) {
        curl_slist* l = curl.slist_append(list, line.c_str());
        if (!l) return false;
        list = l;
        return true;
    }
};

}  // namespace

received_bytes::received_bytes(received_bytes&& other) noexcept
    : bytes_(other.bytes_), size_(other.size_), capacity_(other.capacity_) {
    other.bytes_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

received_bytes& received_bytes::operator=(received_bytes&& other) noexcept {
    if (this != &other) {
        release();
        std::swap(bytes_, other.bytes_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    return *this;
}

received_bytes::~received_bytes() { std::free(bytes_); }

void received_bytes::release() {
    std::free(bytes_);
    bytes_ = nullptr;
    size_ = capacity_ = 0;
}

bool received_bytes::reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
    char* grown = static_cast<char*>(std::realloc(bytes_, capacity));
    if (!grown) return false;
    bytes_ = grown;
    capacity_ = capacity;
    return true;
}

bool received_bytes::append(const char* from, size_t n, size_t most) {
    const size_t need = size_ + n;
    if (need > capacity_ && !reserve(std::min(std::max(need, 2 * capacity_), std::max(most, need)))) return false;
    if (n) std::memcpy(bytes_ + size_, from, n);
    size_ = need;
    return true;
}

bool perform(const request& q, response& out) {
    out = response{};
    if (!have_curl()) {
        out.failure = "libcurl cannot be loaded";
        return false;
    }
    handles h;
    if (!h.easy) {
        out.failure = curl.easy_strerror(CURLE_FAILED_INIT);
        return false;
    }
    CURL* c = h.easy;
    sink body_sink{&out, c, q.most_bytes};
    char reason[CURL_ERROR_SIZE] = "";
    const auto failed = [&](CURLcode code) {
        if (body_sink.out_of_memory) code = CURLE_OUT_OF_MEMORY;
        out.failure = reason[0] && !body_sink.out_of_memory ? reason : curl.easy_strerror(code);
        while (!out.failure.empty() && (out.failure.back() == '\n' || out.failure.back() == ' '))
            out.failure.pop_back();
        out.body.release();
        return false;
    };
    for (const header& x : q.headers) {
        // "Name:" alone would remove the header; "Name;" sends it empty.
        if (!h.add(x.value.empty() ? x.name + ";" : x.name + ": " + x.value)) return failed(CURLE_OUT_OF_MEMORY);
    }
    // curl's own additions go unless the caller named them.
    for (const char* own : {"Accept", "Expect", "Content-Type"})
        if (!named_q(q.headers, own) && !h.add(std::string(own) + ":")) return failed(CURLE_OUT_OF_MEMORY);

    // A larger receive buffer than curl's 16 KB: fewer callbacks on long bodies.
    bool ok = curl.easy_setopt(c, CURLOPT_URL, q.url.c_str()) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_MAXREDIRS, 20L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 60L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 30L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_HTTPHEADER, h.list) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_WRITEDATA, &body_sink) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_HEADERDATA, &body_sink) == CURLE_OK &&
              curl.easy_setopt(c, CURLOPT_ERRORBUFFER, reason) == CURLE_OK;
    if (!ok) return failed(CURLE_FAILED_INIT);

    if (q.method == "GET") {
        ok = curl.easy_setopt(c, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    } else if (q.method == "HEAD") {
        ok = curl.easy_setopt(c, CURLOPT_NOBODY, 1L) == CURLE_OK;
    } else {
        if (q.method != "POST") ok = curl.easy_setopt(c, CURLOPT_CUSTOMREQUEST, q.method.c_str()) == CURLE_OK;
        if (q.has_body || q.method == "POST") {
            // The size is given, so a body may hold zero bytes.
            ok = ok && curl.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(q.body.size())) ==
                           CURLE_OK &&
                 curl.easy_setopt(c, CURLOPT_POSTFIELDS, q.body.data()) == CURLE_OK;
        }
    }
    if (!ok) return failed(CURLE_FAILED_INIT);
    const CURLcode done = curl.easy_perform(c);
    if (done != CURLE_OK) return failed(done);
    long status = 0;
    if (curl.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return failed(CURLE_BAD_FUNCTION_ARGUMENT);
    out.status = status;
    return true;
}

}  // namespace kel::platform::http
