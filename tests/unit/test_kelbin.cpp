// The Kelbin decoder's compressed blocks (flag bit 1): no encoder writes
// them and no script can make one, so they are built here with the runtime's
// LZ compressor from blocks the encoder wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "kernel/lz.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "services/kelbin.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/eval_support.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

struct kelbin_test : eval_test {};

// The encoding of the value the code answers, in one layout.
std::vector<uint8_t> encoded(const char* code, bool compact) {
    runtime_env::boot();
    kel_value* entry = stack::top();
    const kel_value block = runtime_env::read(code);
    EXPECT_EQ(interpreter::eval_block(&block, false), signal_code::none);
    kel_value* out = stack::push_unset();
    const kel_value value = *entry;
    kelbin::encode(&value, compact, out);
    const memory::buffer_header* h = memory::buffer_of(series_node(out));
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(h->data() + h->head),
                               reinterpret_cast<const uint8_t*>(h->data() + h->tail));
    stack::regs.top = entry;
    return bytes;
}

// Everything after the prefix packed by the LZ compressor, flag bit 1 set.
std::vector<uint8_t> compressed(const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> packed(plain.size());
    const long n = lz::compress(plain.data() + 8, plain.size() - 8, packed.data());
    EXPECT_GT(n, 0);
    std::vector<uint8_t> out(8 + static_cast<size_t>(n > 0 ? n : 0));
    std::memcpy(out.data(), plain.data(), 8);
    std::memcpy(out.data() + 8, packed.data(), out.size() - 8);
    out[7] |= 2;
    return out;
}

// The decoded root values molded, or "!id".
std::string decoded(const std::vector<uint8_t>& bytes) {
    kel_value* entry = stack::top();
    std::string result;
    const error_trap trap = open_error_trap();
    try {
        kel_value* target = block::push_only_star(1);
        kelbin::decode(bytes.data(), bytes.size(), target, nullptr);
        close_error_trap(trap, false);
        result = mold(*target);
    } catch (const kel_unwind&) {
        close_error_trap(trap, true);
        result = std::string("!") + last_fired().id;
    }
    stack::regs.top = entry;
    return result;
}

const char* repetitive = "b: copy [] loop 60 [append b reduce [\"repeated text\" 12345 [1 2 3]]] b";

TEST_F(kelbin_test, CompressedBlocksDecodeAsThePlainOnesInBothLayouts) {
    for (bool compact : {true, false}) {
        const std::vector<uint8_t> plain = encoded(repetitive, compact);
        const std::vector<uint8_t> packed = compressed(plain);
        ASSERT_LT(packed.size(), plain.size());
        EXPECT_EQ(decoded(packed), decoded(plain));
        EXPECT_EQ(decoded(plain).substr(0, 28), "[[\"repeated text\" 12345 [1 2");
    }
}

TEST_F(kelbin_test, ACorruptCompressedPayloadIsInvalidData) {
    std::vector<uint8_t> packed = compressed(encoded(repetitive, true));
    packed.resize(packed.size() - 5);
    EXPECT_EQ(decoded(packed), "!invalid-data");
    packed = compressed(encoded(repetitive, false));
    for (size_t i = 12; i < 20; ++i) packed[i] = 0xFF;  // the unpacked size and the first chunk
    EXPECT_EQ(decoded(packed), "!invalid-data");
}

}  // namespace
}  // namespace kel::test
