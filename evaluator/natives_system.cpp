// natives_system: see natives_system.h.
#include "evaluator/natives_system.h"

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/string_api.h"
#include "evaluator/checksum.h"
#include "evaluator/native_table.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "services/simple_io.h"

namespace kel::natives {

signal_code size_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::size_q, refs);
    kel_value* result = stack::arguments();
    const kel_value file = *stack::argument(1);
    const int64_t size = simple_io::dir_path_q(&file) ? -1 : simple_io::file_size(file::to_os_path(&file));
    // Sizes past the integer range answer a float!, as `stats` does.
    if (size < 0) set_none(result);
    else if (size > INT32_MAX) set_float(result, static_cast<double>(size));
    else set_integer(result, static_cast<int32_t>(size));
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code to_local_file_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::to_local_file, refs);
    kel_value* out = stack::push_unset();
    string::init_cell(out, static_cast<uint32_t>(std::max(string::ks_length_q(stack::argument(1)), 0)) + 16);
    file::convert_to_os_path(stack::argument(1), out, refs.has(0));
    *stack::arguments() = *out;
    stack::rewind_to_result();
    return signal_code::none;
}

namespace {

// The bytes a checksum is taken of, as a binary! cell: a file read whole
// as binary, a string as UTF-8, a binary as it is (from its head). Null
// for data that has no bytes to sum.
const kel_value* checksum_bytes(kel_value* data) {
    const uint32_t t = type_of(data);
    if (t == types::binary) return data;
    kel_value* bytes = stack::push_unset();
    if (t == types::string) {
        binary::to_bytes(bytes, data);
        return bytes;
    }
    if (t != types::file) return nullptr;
    simple_io::read_path(data, nullptr, nullptr, true, false, bytes);
    // A directory path reads as its listing, which has no bytes to sum.
    return type_of(bytes) == types::binary ? bytes : nullptr;
}

}  // namespace

signal_code checksum_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::checksum, refs);
    kel_value* data = stack::argument(1);
    const kel_value* method_word = stack::argument(2);
    const kel_value* bytes = checksum_bytes(data);
    if (!bytes) return fail(error_category::script, "invalid-arg", data);
    const checksum::method m = checksum::method_of(word_symbol(method_word));
    if (m == checksum::method::count) return fail(error_category::script, "invalid-arg", method_word);
    const kel_value* spec = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    const bool sum = m == checksum::method::crc32 || m == checksum::method::tcp || m == checksum::method::adler32;
    const uint32_t spec_type = spec ? type_of(spec) : static_cast<uint32_t>(types::none);
    const bool key = spec_type == types::string || spec_type == types::binary;
    // The plain sums take no /with; `hash` takes only a table size.
    if ((sum && spec) || (m == checksum::method::hash && (!spec || key)))
        return fail(error_category::script, "invalid-refine-arg", error_arg::named("with"), method_word);
    if (spec && !key && spec_type != types::integer) return fail(error_category::script, "invalid-arg", spec);

    // The key's bytes are made before the data's address is read: nothing
    // allocates from here to the end of the sum.
    const kel_value* key_bytes = spec;
    if (spec_type == types::string) {
        kel_value* k = stack::push_unset();
        binary::to_bytes(k, spec);
        key_bytes = k;
    }
    const uint8_t* p = binary::ks_head(bytes);
    const size_t n = static_cast<size_t>(binary::ks_length_q(bytes));
    kel_value* result = stack::arguments();
    checksum::digest_buffer out;
    if (sum) {
        const uint32_t v = m == checksum::method::crc32 ? checksum::crc32(p, n)
                           : m == checksum::method::tcp ? checksum::tcp(p, n)
                                                        : checksum::adler32(p, n);
        set_integer(result, static_cast<int32_t>(v));
    } else if (spec_type == types::integer) {
        // No keyed hash is defined: it says so and gives none.
        (void)checksum::hash(p, n, get_integer(spec));
        set_none(result);
    } else {
        const int32_t number = checksum::method_number(m);
        if (key) {
            const size_t key_length = static_cast<size_t>(binary::ks_length_q(key_bytes));
            (void)checksum::hmac(p, n, binary::ks_head(key_bytes), key_length, word_symbol(method_word), &out);
        } else {
            out = checksum::digest(p, n, number);
        }
        *result = *binary::push_from_memory(out.bytes, checksum::digest_size(number));
    }
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace kel::natives
