// Fuzz target: the UTF-8 decoders (lenient reader, loader, table-driven
// decoder, counting) and the encoder on their output. Input bytes are copied
// into an exactly sized heap buffer, so a read past it shows under ASan.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernel/unicode.h"

using namespace kel::unicode;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::vector<int32_t> code_points(const unit_text& t) {
    std::vector<int32_t> v;
    for (size_t i = 0; i < t.length(); ++i) v.push_back(t.at(i));
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* buf = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(buf, data, size);

    // The lenient reader, character by character.
    for (size_t i = 0; i < size;) {
        size_t n = size - i;
        text_error err;
        int32_t cp = read_utf8_char(buf + i, &n, &err);
        if (cp == utf8_short) {
            check(n == size - i);
            break;
        }
        if (cp == utf8_malformed) {
            check(err.id == error_id::invalid_utf8);
            check(err.byte_count == (size - i < 4 ? size - i : 4));
            check(std::memcmp(err.bytes, buf + i, err.byte_count) == 0);
            ++i;
            continue;
        }
        check(n >= 1 && n <= 4 && cp >= 0 && cp <= 0x10FFFF && cp != 0xFFFE);
        i += n;
    }

    // The loader, and back through the encoder.
    for (bool cr : {false, true}) {
        unit_text t;
        size_t rest = 0;
        text_error err;
        if (utf8_to_units(buf, size, cr, t, &rest, &err) != error_id::none) {
            check(err.id == error_id::invalid_utf8 && err.byte_count >= 1 && err.byte_count <= 4);
            continue;
        }
        check(rest <= size && rest < 4);
        int32_t top = 0;
        for (size_t k = 0; k < t.length(); ++k) top = t.at(k) > top ? t.at(k) : top;
        check(t.unit == (top <= 0xFF ? 1 : top <= 0xFFFF ? 2 : 4));
        std::string enc;
        check(to_utf8(t.view(), false, enc, nullptr) == error_id::none);
        auto* again_buf = static_cast<uint8_t*>(std::malloc(enc.size() ? enc.size() : 1));
        if (!enc.empty()) std::memcpy(again_buf, enc.data(), enc.size());
        unit_text again;
        size_t again_rest = 1;
        check(utf8_to_units(again_buf, enc.size(), false, again, &again_rest, nullptr) == error_id::none);
        check(again_rest == 0);
        std::vector<int32_t> a = code_points(t), b = code_points(again);
        if (!a.empty() && a[0] == 0xFEFF) a.erase(a.begin());  // re-read as a byte-order mark
        check(a == b);
        std::free(again_buf);
    }

    // The table-driven decoder over a NUL-terminated copy: never past the
    // terminator, and every character it accepts the lenient reader reads alike.
    auto* z = static_cast<uint8_t*>(std::malloc(size + 1));
    if (size) std::memcpy(z, data, size);
    z[size] = 0;
    for (const uint8_t* p = z; p < z + size;) {
        int32_t cp;
        const uint8_t* next = fast_decode_utf8_char(p, &cp);
        check(next > p && next <= z + size);
        if (cp >= 0 && cp != 0xFFFE) {
            size_t n = size_t(next - p);
            check(read_utf8_char(p, &n, nullptr) == cp && n == size_t(next - p));
        }
        p = next;
    }
    std::free(z);

    // Bounded counting and skipping over the exact buffer.
    size_t chars = count_utf8_chars(buf, buf + size);
    check(chars <= size);
    check(skip_utf8_chars(buf, buf + size, chars) == buf + size);
    check(skip_utf8_chars(buf, buf + size, chars + 5) == buf + size);

    std::free(buf);
    return 0;
}
