// Fuzz target: the Kelbin decoder on edited valid blocks. At the first call
// the booted runtime encodes a set of values of every encodable type (shared
// series, cycles, objects, words, functions, natives, maps, images...) in
// both layouts; each input then picks one of those blocks and applies byte
// flips, truncations, insertions and field rewrites it describes, so the
// edits reach the record reader rather than stopping at the magic. The edited
// block sits in an exactly sized heap buffer (reads past it show under ASan)
// and is decoded under an error trap: a language error is the expected
// outcome of most edits; a crash, a sanitizer report or an argument stack
// that moved is a fault. Every 16th input runs under the collector's stress
// check with the heap verified.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "evaluator/interpreter.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "library/boot.h"
#include "services/kelbin.h"
#include "services/lexer.h"
#include "tests/fuzz/driver/xorshift.h"

namespace {

using kel::kel_value;
namespace types = kel::types;

std::vector<std::vector<uint8_t>> seeds;
long decoded = 0, refused = 0;  // KELBIN_FUZZ_STATS=1 prints them at exit

const char* seed_source = R"k(
    b: [1 2.5 "s" #{01}] s: copy [] append/only s s
    o: make object! [a: 1 b: [x y] f: func [n /r] [n + a] on-change*: func [w o n] [w]]
    m: #[k 1 "t" 2] remove/key m 'k
    f: func [a /local x] [x: a * 2 either x > 3 [x] [a]]
    e: make error! [script invalid-arg 12] e/near: [a b] e/arg1: b
    values: reduce [
        [] 63 64 -1 3.0 3.5 25% 12.345% "abc" next "xyz" "中😀" %f http://x.y <t> a@b.c @r
        #{0102} none true false #"a" 10:00 1-Jan-2024/10:00:00+2:00 3x4 (1.5, 2.5) (1.0, 2.0, 3.0)
        make typeset! [integer! block!] 1.2.3 1.2.3.4.5 $12.34 -$5 #iss 'w :w /r integer!
        reduce [b b next b] s o in o 'a reduce [in o 'b o] m reduce [m m] :f reduce [:f first body-of :f]
        :print :append :+ make op! func [x y] [x - y] e make hash! [a 1 b 2] to paren! b to path! [a b]
        make bitset! "abc" complement make bitset! "a" make vector! [integer! 16 [1 2 3]]
        make vector! [float! 64 [1.5]] make image! [2x2 #{0102030405060708090A0B0C}] reduce [o o/b b get in o 'f]
    ]
    collected: copy []
    foreach v values [
        append collected kelbin-encode* :v true
        append collected kelbin-encode* :v false
    ]
    append collected kelbin-encode* values true
    append collected kelbin-encode* values false
    collected
)k";

// Runs Kel source; answers the value left (unset! when it failed).
kel_value run(const std::string& source) {
    kel_value* const entry = kel::stack::top();
    const kel::error_trap trap = kel::open_error_trap();
    kel_value result{types::unset, 0, 0, 0};
    try {
        kel_value* block = kel::stack::push_unset();
        kel::lexer::options o;
        (void)kel::lexer::transcode_utf8(block, reinterpret_cast<const uint8_t*>(source.data()), source.size(), o);
        const kel_value code = *block;
        kel::collector::keep_in_root_block(&code);
        kel::stack::regs.top = entry;
        const kel::signal_code c = kel::interpreter::eval_block(&code, false);
        kel::close_error_trap(trap, false);
        if (c == kel::signal_code::none) result = *entry;
    } catch (const kel::kel_unwind&) {
        kel::close_error_trap(trap, true);
    }
    return result;
}

void boot_once() {
    kel::runtime::record.stack_start = static_cast<char*>(__builtin_frame_address(0));
    kel::runtime::init();
    kel::boot::run();
    kel::collector::set_stress(0);
    const std::string prelude = "kelbin-encode*: get in select system/codecs 'kelbin 'encode*\n";
    const kel_value list = run(prelude + seed_source);
    if (kel::type_of(&list) != types::block) {
        std::fprintf(stderr, "kelbin_decode: the seed values did not encode\n");
        std::abort();
    }
    kel::collector::keep_in_root_block(&list);
    for (int32_t i = 0; i < kel::block::ks_length_q(&list); ++i) {
        const kel_value b = *kel::block::ks_abs_at(&list, i);
        const kel::memory::buffer_header* h = kel::memory::buffer_of(kel::series_node(&b));
        const auto* p = reinterpret_cast<const uint8_t*>(h->data() + h->head);
        seeds.emplace_back(p, p + h->used());
    }
    if (const char* st = std::getenv("KELBIN_FUZZ_STATS"); st && *st)
        std::atexit([] { std::fprintf(stderr, "kelbin_decode: %ld decoded, %ld refused\n", decoded, refused); });
}

using rng = fuzz::xorshift<16>;

void decode(const std::vector<uint8_t>& bytes) {
    // An exactly sized copy: ASan sees any read past the end.
    auto* copy = static_cast<uint8_t*>(std::malloc(bytes.size() ? bytes.size() : 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    kel_value* const entry = kel::stack::top();
    const kel::error_trap trap = kel::open_error_trap();
    try {
        kel_value* target = kel::block::push_only_star(1);
        kel::kelbin::decode(copy, bytes.size(), target, nullptr);
        kel::close_error_trap(trap, false);
        ++decoded;
    } catch (const kel::kel_unwind&) {
        kel::close_error_trap(trap, true);
        ++refused;
    }
    if (kel::stack::top() < entry) std::abort();  // the argument stack moved below the call
    kel::stack::regs.top = entry;
    std::free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool booted = false;
    static long count = 0;
    if (!booted) {
        boot_once();
        booted = true;
    }
    uint64_t seed = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
    rng r{seed | 1};
    std::vector<uint8_t> b = seeds[r.below(static_cast<uint32_t>(seeds.size()))];
    const uint32_t edits = 1 + r.below(4);
    for (uint32_t e = 0; e < edits && !b.empty(); ++e) {
        const size_t at = 8 + r.below(static_cast<uint32_t>(b.size() > 8 ? b.size() - 8 : 1));
        switch (r.below(6)) {
            case 0:  // flip a bit
                if (at < b.size()) b[at] ^= static_cast<uint8_t>(1u << r.below(8));
                break;
            case 1:  // truncate
                b.resize(std::min(b.size(), at));
                break;
            case 2:  // insert bytes
                for (uint32_t i = 0, n = 1 + r.below(4); i < n; ++i)
                    b.insert(b.begin() + static_cast<long>(std::min(at, b.size())), static_cast<uint8_t>(r.next()));
                break;
            case 3:  // a byte set to a value that matters to the reader
                if (at < b.size()) {
                    static const uint8_t special[] = {0x00, 0x01, 0x3F, 0x40, 0x7F, 0x80, 0xC0, 0xC1, 0xC4,
                                                      0xFF, 0x05, 0x0E, 0x18, 0x20, 0x23, 0x35};
                    b[at] = special[r.below(sizeof special)];
                }
                break;
            case 4:  // a 32-bit field set to an edge value
                if (at + 4 <= b.size()) {
                    static const uint32_t edge[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x10000, 65536 * 4};
                    const uint32_t v = edge[r.below(sizeof edge / sizeof edge[0])];
                    std::memcpy(&b[at], &v, 4);
                }
                break;
            default:  // the input's own bytes spliced in
                for (size_t i = 0; i < size && at + i < b.size() && i < 8; ++i) b[at + i] = data[i];
                break;
        }
    }
    const bool stressed = ++count % 16 == 0;
    if (stressed) {
        kel::collector::set_stress(7);
        kel::collector::set_verify(true);
    }
    decode(b);
    if (stressed) {
        kel::collector::set_stress(0);
        kel::collector::set_verify(false);
    }
    return 0;
}
