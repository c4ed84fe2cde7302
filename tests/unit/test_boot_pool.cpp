// The boot pool: a pool that fails its checks ends the process with its
// message and a non-zero status, never a crash, and a small pool made by hand
// sets its words through its assignments. Each decode runs in a forked child
// (death tests), whose global words it changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "datatypes/context.h"
#include "datatypes/word.h"
#include "library/boot.h"
#include "tests/unit/runtime_env.h"

namespace kel::test {
namespace {

bool failed_exit(int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }

// A compact boot-mode block: version 1, the symbols named, then the records.
std::vector<uint8_t> pool(std::vector<const char*> names, std::vector<uint8_t> records) {
    std::vector<uint8_t> strings, offsets;
    for (const char* n : names) {
        const auto at = static_cast<uint32_t>(strings.size());
        for (int i = 0; i < 4; ++i) offsets.push_back(static_cast<uint8_t>(at >> (8 * i)));
        for (const char* c = n; *c; ++c) strings.push_back(static_cast<uint8_t>(*c));
        strings.push_back(0);
    }
    std::vector<uint8_t> out{'K', 'E', 'L', 'B', 'I', 'N', 1, static_cast<uint8_t>(names.empty() ? 1 : 5), 1};
    out.push_back(static_cast<uint8_t>(records.size()));  // every pool here is under 128 bytes
    if (!names.empty()) {
        out.push_back(static_cast<uint8_t>(names.size()));
        out.push_back(static_cast<uint8_t>(strings.size()));
        out.insert(out.end(), offsets.begin(), offsets.end());
        out.insert(out.end(), strings.begin(), strings.end());
    }
    out.insert(out.end(), records.begin(), records.end());
    return out;
}

void decode(const std::vector<uint8_t>& bytes) {
    runtime_env::start();
    boot::decode_pool(boot::pool_bytes{bytes.data(), bytes.size()});
}

// Root 0 a block of the word `pool-test-word`, then its assignment: the
// value given by the path to an integer in root 1.
const std::vector<uint8_t> assignment_records{0x05, 0x01, 0x0F, 0x00,  // [pool-test-word]
                                              0x05, 0x01, 0xAA,        // [42]
                                              0xC4, 0x0F, 0x00, 0xFF, 0x02, 0x01, 0x00};

void good_pool() {
    decode(pool({"pool-test-word"}, assignment_records));
    const kel_value w = *word::from_c_string("pool-test-word");
    const kel_value* v = _context::get_bound(&w);
    std::exit(v && type_of(v) == types::integer && get_integer(v) == 42 ? 0 : 3);
}

TEST(boot_pool, assignments_set_their_words) { EXPECT_EXIT(good_pool(), ::testing::ExitedWithCode(0), ""); }

TEST(boot_pool, a_damaged_pool_ends_the_process_with_its_message) {
    std::vector<uint8_t> bad_magic = pool({"pool-test-word"}, assignment_records);
    bad_magic[3] = 'X';
    std::vector<uint8_t> truncated = pool({"pool-test-word"}, assignment_records);
    truncated.resize(truncated.size() - 3);
    std::vector<uint8_t> past_the_pool = assignment_records;
    past_the_pool[past_the_pool.size() - 2] = 0x07;  // the path's first step: root 7 of 2
    struct row {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* message;  // a regular expression on stderr
    } rows[] = {
        {"bad magic", bad_magic, "^Error: Not a Kelbin file!"},
        {"truncated", truncated, "Boot Error: the boot pool: \\*\\*\\* Script Error: KELBIN - invalid record at index"},
        {"assignment past the pool", pool({"pool-test-word"}, past_the_pool),
         "Boot Error: the boot pool: \\*\\*\\* Script Error: KELBIN - invalid record at index 44"},
        {"unknown routine", pool({}, {0x1D, 0xFF, 0xFF, 0x03}),
         "Boot Error: the boot pool: \\*\\*\\* Script Error: KELBIN - invalid record at index 12"},
        {"assignment to a number", pool({}, {0xC4, 0x81, 0x81}),
         "Boot Error: the boot pool: \\*\\*\\* Script Error: KELBIN - invalid record at index 11"},
        {"header only", pool({}, {}), ""},
    };
    for (const row& r : rows) {
        if (!*r.message) {
            EXPECT_EXIT((decode(r.bytes), std::exit(0)), ::testing::ExitedWithCode(0), "") << r.what;
            continue;
        }
        EXPECT_EXIT(decode(r.bytes), failed_exit, r.message) << r.what;
    }
}

}  // namespace
}  // namespace kel::test
