// uri_list: see uri_list.h.
#include "services/uri_list.h"

#include <unistd.h>

#include <climits>

namespace kel::uri_list {

namespace {

bool unreserved_q(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Some programs still name the machine itself instead of leaving the host empty.
bool local_host_q(std::string_view host) {
    if (host.empty() || equal_ignoring_case(host, "localhost")) return true;
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return false;
    return equal_ignoring_case(host, name);
}

std::string percent_decoded(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
            out.push_back(char(hex_value(s[i + 1]) << 4 | hex_value(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The encoded path of a local file URI, or false for anything else.
bool local_path_of(std::string_view uri, std::string_view* path) {
    constexpr std::string_view scheme = "file:";
    if (uri.size() < scheme.size() || !equal_ignoring_case(uri.substr(0, scheme.size()), scheme)) return false;
    std::string_view rest = uri.substr(scheme.size());
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const size_t slash = rest.find('/');
        if (slash == std::string_view::npos || !local_host_q(rest.substr(0, slash))) return false;
        rest.remove_prefix(slash);
    }
    if (rest.empty() || rest.front() != '/') return false;
    *path = rest;
    return true;
}

}  // namespace

std::string file_uri(std::string_view path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "file://";
    out.reserve(out.size() + path.size() * 3);
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (unreserved_q(c) || c == '/') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

std::string encode(const std::vector<std::string>& paths) {
    std::string out;
    for (const std::string& p : paths) {
        out += file_uri(p);
        out += "\r\n";
    }
    return out;
}

parsed decode(std::string_view text) {
    parsed result;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::string_view encoded;
        std::string path;
        if (local_path_of(line, &encoded)) path = percent_decoded(encoded);
        if (path.empty() || path.find('\0') != std::string::npos) {
            ++result.other_entries;
            continue;
        }
        result.paths.push_back(std::move(path));
    }
    return result;
}

}  // namespace kel::uri_list
