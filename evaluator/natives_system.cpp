// natives_system: see natives_system.h.
#include "evaluator/natives_system.h"

#include "datatypes/file.h"
#include "datatypes/string_api.h"
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

}  // namespace kel::natives
