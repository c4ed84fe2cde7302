// http: see http.h. One easy handle per request, made and cleaned up here;
// the callbacks only append bytes, so nothing can unwind through libcurl.
// libcurl is opened at the first request (platform/dynlib.h).
#include "platform/http.h"

#include <curl/curl.h>

#include <strings.h>

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
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    auto* s = static_cast<sink*>(user);
    try {
        // A body of announced length is received into one allocation.
        if (s->out->body.empty()) {
            curl_off_t length = -1;
            if (curl.easy_getinfo(s->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0 &&
                length < (curl_off_t{1} << 32))
                s->out->body.reserve(static_cast<size_t>(length));
        }
        s->out->body.append(data, n);
    } catch (...) {
        return 0;  // a short count makes libcurl stop with an error
    }
    return n;
}

// A status line starts the headers of a new response: those of a redirect
// or of an interim 1xx answer are dropped.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    auto* r = static_cast<response*>(user);
    try {
        if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) r->headers.clear();
        r->headers.append(data, n);
    } catch (...) {
        return 0;
    }
    return n;
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

bool perform(const request& q, response& out) {
    out = response{};
    if (!have_curl()) return false;
    handles h;
    if (!h.easy) return false;
    CURL* c = h.easy;
    sink body_sink{&out, c};
    for (const header& x : q.headers) {
        // "Name:" alone would remove the header; "Name;" sends it empty.
        if (!h.add(x.value.empty() ? x.name + ";" : x.name + ": " + x.value)) return false;
    }
    // curl's own additions go unless the caller named them.
    for (const char* own : {"Accept", "Expect", "Content-Type"})
        if (!named_q(q.headers, own) && !h.add(std::string(own) + ":")) return false;

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
              curl.easy_setopt(c, CURLOPT_HEADERDATA, &out) == CURLE_OK;
    if (!ok) return false;

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
    if (!ok || curl.easy_perform(c) != CURLE_OK) return false;
    long status = 0;
    if (curl.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) return false;
    out.status = status;
    return true;
}

}  // namespace kel::platform::http
