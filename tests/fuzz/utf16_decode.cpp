// Fuzz target: the UTF-16LE and windows-1251 loaders, the encoders over
// arbitrary 4-byte units, and text comparison. Input bytes are copied into
// exactly sized heap buffers, so a read past them shows under ASan.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/unicode.h"

using namespace kel::unicode;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

template <class T>
T* exact(size_t n) {
    return static_cast<T*>(std::malloc(n ? n * sizeof(T) : 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* buf = exact<uint8_t>(size);
    if (size) std::memcpy(buf, data, size);
    size_t units = size / 2;

    // UTF-16 in, and back out unchanged (without CR handling nothing is lost,
    // lone surrogates included).
    unit_text t;
    utf16_to_units(buf, units, false, t);
    check(t.length() <= units);
    std::u16string back;
    check(to_utf16(t.view(), false, back));
    check(back.size() == units && (units == 0 || std::memcmp(back.data(), buf, units * 2) == 0));
    unit_text no_cr;
    utf16_to_units(buf, units, true, no_cr);
    for (size_t i = 0; i < no_cr.length(); ++i) check(no_cr.at(i) != 0x0D);

    // windows-1251: one unit per byte without CR handling.
    for (bool cr : {false, true}) {
        unit_text c;
        cp1251_to_units(buf, size, cr, c);
        check(cr ? c.length() <= size : c.length() == size);
    }

    // Arbitrary 32-bit values as 4-byte units: the encoders stay inside the
    // rooms they announce, and refuse values beyond U+10FFFF.
    text_view v4{buf, size / 4, 4};
    uint16_t* w16 = exact<uint16_t>(utf16_bound(v4));
    for (bool crlf : {false, true}) {
        long n = encode_utf16(v4, crlf, w16);
        check(n >= -1 && (n < 0 || size_t(n) < utf16_bound(v4)));
    }
    std::free(w16);
    uint8_t* w8 = exact<uint8_t>(utf8_bound(v4.length, 4));
    size_t written = 0;
    text_error err;
    error_id e = encode_utf8(v4, true, true, w8, &written, &err);
    check(e == error_id::none || (e == error_id::invalid_char && err.code_point > 0x10FFFF));
    std::free(w8);

    // Comparison of the two halves at mixed widths: the orderings are
    // antisymmetric, and a text always matches itself.
    if (size >= 2) {
        size_t half = size / 2;
        uint8_t ua = uint8_t(1u << (data[0] % 3)), ub = uint8_t(1u << (data[1] % 3));
        text_view a{buf, half / ua, ua}, b{buf + half, (size - half) / ub, ub};
        for (int op = op_lesser; op <= op_case_sort; ++op)
            check(compare_text(a, b, op, false) == -compare_text(b, a, op, false));
        check(compare_text(a, a, op_strict_equal, false) == 0);
        check(compare_text(a, a, op_equal, true) == 0);
    }

    std::free(buf);
    return 0;
}
