// Fuzz target for the lexer: arbitrary bytes are scanned in every mode (load,
// scan-only, one value, with a callback that vetoes some events and starts
// nested scans). A syntax error is a normal outcome; reading outside the
// text, a crash, or a scan left linked afterwards is not (abort). The bytes
// are also respelled in the alphabet of source text, so the deeper paths
// (nesting, paths, escapes, raw strings, numbers) are reached often.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "kernel/signal.h"
#include "services/lexer.h"

namespace {

using kel::kel_value;

struct run_state {
    const uint8_t* text;
    size_t size;
    uint32_t seed;
    int depth;
};

// Answers from a running hash of the events, so vetoes land everywhere; now
// and then scans a part of the text again from inside the callback.
bool on_event(void* user, kel::lexer::event e, kel_value*, const kel_value*, int32_t line, const kel_value*) {
    auto* r = static_cast<run_state*>(user);
    r->seed = r->seed * 1103515245u + 12345u + static_cast<uint32_t>(e) + static_cast<uint32_t>(line);
    if (r->depth < 2 && (r->seed >> 16) % 29 == 0) {
        ++r->depth;
        kel_value out;
        kel::lexer::options o;
        const size_t part = r->size / 2;
        const kel::error_trap trap = kel::open_error_trap();  // receives a syntax error
        try {
            kel::lexer::transcode_utf8(&out, r->text + (r->size - part), part, o);
            kel::close_error_trap(trap, false);
        } catch (const kel::kel_unwind& u) {
            kel::close_error_trap(trap, u.code == kel::code_value(kel::signal_code::error));
        }
        --r->depth;
    }
    return (r->seed >> 20) % 7 != 0;
}

void scan_all_ways(const uint8_t* text, size_t size, uint32_t seed) {
    kel::kel_value* const top = kel::stack::top();
    for (int mode = 0; mode < 5; ++mode) {
        kel_value out;
        kel::lexer::options o;
        run_state r{text, size, seed, 0};
        kel::lexer::callback cb;
        cb.call = on_event;
        cb.user = &r;
        switch (mode) {
            case 0: break;                                     // load and store
            case 1: o.load = false; o.store = false; break;   // scan-only
            case 2: o.one = true; break;                       // the first value
            case 3: o.events = &cb; break;                     // callback, loading
            default: o.load = false; o.store = false; o.events = &cb; break;  // callback, scan-only
        }
        size_t consumed = 0;
        bool raised = false;
        // Nothing else receives a syntax error here: the trap does.
        const kel::error_trap trap = kel::open_error_trap();
        try {
            kel::lexer::transcode_utf8(&out, text, size, o, &consumed);
        } catch (const kel::kel_unwind& u) {
            if (u.code != kel::code_value(kel::signal_code::error)) std::abort();
            raised = true;
        }
        kel::close_error_trap(trap, raised);
        if (!raised && consumed > size) std::abort();
        if (!o.load && raised) std::abort();  // scan-only never raises
        if (kel::lexer::running_scans() != 0) std::abort();
        if (kel::stack::top() != top) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool booted = false;
    if (!booted) {
        kel::runtime::init();
        booted = true;
    }
    // An exactly sized copy, so reading one byte too far is caught.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(buf.get(), data, size);
    const uint32_t seed = size ? data[0] : 0;
    scan_all_ways(buf.get(), size, seed);

    static const char* const pieces[] = {
        "[", "]", "(", ")", "{", "}", "\"", "#", "'", ":", "/", "^", "%", "<", ">", " ", "\n", ";", ",", "@",
        "$", ".", "-", "+", "0", "1", "9", "a", "x", "E", "h", "e", "#(", "#[", "#{", "#\"", "%{", "}%",
        "^(", "^(tab)", "1.#", "\xC2\xA0", "\xE3\x80\x80", "\xF0\x9F\x98\x80", "\x80", "\xFF", "ab", "http:",
        "12:30", "1'0", "2#", "64#", "=", "\t", "\0"};
    constexpr size_t piece_count = sizeof pieces / sizeof pieces[0];
    std::unique_ptr<uint8_t[]> spelled(new uint8_t[size * 16 + 1]);
    size_t n = 0;
    for (size_t i = 0; i < size; ++i) {
        const char* p = pieces[data[i] % piece_count];
        const size_t len = data[i] % piece_count == piece_count - 1 ? 1 : std::strlen(p);
        std::memcpy(spelled.get() + n, p, len);
        n += len;
    }
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(exact.get(), spelled.get(), n);
    scan_all_ways(exact.get(), n, seed + 1);
    return 0;
}
