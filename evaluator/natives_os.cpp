// natives_os: see natives_os.h.
#include "evaluator/natives_os.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/utsname.h>

#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "platform/platform.h"
#include "services/process.h"

namespace kel::natives {

namespace {

namespace call_ref {
enum { wait, show, console, shell, input, output, error };
}

// Pushes a new string! of UTF-8 text from the system, decoded leniently.
kel_value* push_text(const std::string& text) {
    kel_value* s = string::init_cell(stack::push_unset(), static_cast<uint32_t>(text.size()));
    file::append_os_text(s, text.data(), text.size());
    return s;
}

// The UTF-8 of an environment name: a word's name, or a string's text (a
// NUL in it raises `invalid-arg`, the system would read a shorter name). A
// name the system refuses (empty, or holding "=") raises `invalid-arg` too.
std::string env_name(const kel_value* var) {
    std::string name;
    if (in_family(type_of(var), family::word)) {
        uint32_t length = 0;
        const char* bytes = symbol::name_bytes(word_symbol(var), &length);
        name.assign(bytes, length);
    } else {
        name = file::to_os_path(var);
    }
    if (name.empty() || name.find('=') != std::string::npos) fire(error_category::script, "invalid-arg", var);
    return name;
}

}  // namespace

signal_code set_env_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::set_env, refs);
    kel_value* base = stack::arguments();
    const std::string name = env_name(base);
    const kel_value* value = base + 1;
    if (type_of(value) == types::none) {
        (void)platform::remove_env(name);
    } else if (!platform::set_env(name, file::to_os_path(value))) {
        return fail(error_category::script, "invalid-arg", value);
    }
    *base = *value;
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code get_env_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::get_env, refs);
    kel_value* base = stack::arguments();
    const std::optional<std::string> value = platform::get_env(env_name(base));
    if (value) *base = *push_text(*value);
    else set_none(base);
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code list_env_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::list_env, refs);
    const auto entries = platform::list_env();
    kel_value* pairs = block::push_only_star(static_cast<int32_t>(entries.size() * 2));
    for (const auto& [name, value] : entries) {
        (void)block::ks_add(pairs, push_text(name));
        (void)block::ks_add(pairs, push_text(value));
        stack::drop_cells(2);
    }
    kel_value* m = stack::push_unset();
    map::init_cell(m, nullptr, static_cast<int64_t>(entries.size()));
    // names differ by case alone on this system
    map::extend_pairs(m, pairs, true);
    *stack::arguments() = *m;
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code call_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::call, refs);
    kel_value* base = stack::arguments();
    const auto cell = [&](int r) -> const kel_value* { return refs.has(r) ? base + refs.at[r] : nullptr; };
    const int32_t result =
        process::call_command(base, refs.has(call_ref::wait), refs.has(call_ref::show), refs.has(call_ref::console),
                              refs.has(call_ref::shell), cell(call_ref::input), cell(call_ref::output),
                              cell(call_ref::error));
    set_integer(base, result);
    stack::rewind_to_result();
    // An interrupt while waiting for the process (which had it too) halts
    // here, as it would at the evaluator's next step.
    return interpreter::poll_interrupt();
}

signal_code browse_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::browse, refs);
    kel_value* base = stack::arguments();
    // a url as it stands; a file as its OS path
    (void)process::open_with_desktop(file::to_os_path(base));
    set_unset(base);
    stack::rewind_to_result();
    return signal_code::none;
}

namespace {

std::string pretty_name() {
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        if (!v.empty()) return v;
    }
    return "Linux";
}

const char* arch_name(const char* machine) {
    if (!std::strcmp(machine, "x86_64")) return "x86-64";
    if (!std::strcmp(machine, "aarch64")) return "ARM64";
    if (machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' && !std::strcmp(machine + 2, "86"))
        return "x86-32";
    if (!std::strncmp(machine, "arm", 3)) return "ARM";
    return "Unknown";
}

// The leading numbers of a kernel release ("6.1.0-13-amd64": 6, 1, 0).
void release_numbers(const char* release, int32_t (&out)[3]) {
    out[0] = out[1] = out[2] = 0;
    const char* p = release;
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9') return;
        int64_t n = 0;
        while (*p >= '0' && *p <= '9') {
            if (n < 1000000) n = n * 10 + (*p - '0');
            ++p;
        }
        out[i] = static_cast<int32_t>(n);
        if (*p != '.') return;
        ++p;
    }
}

void add_field(kel_value* spec, const char* name, const kel_value* value) {
    kel_value* w = word::push_from_symbol(symbol::intern(name));
    set_type(w, types::set_word);
    (void)block::ks_add(spec, w);
    (void)block::ks_add(spec, value);
    stack::drop_cells(1);
}

routines::machine_value os_info_routine_fn(const routines::machine_value*, int32_t) {
    routines::machine_value answer;
    answer.cell = push_os_info();
    return answer;
}

}  // namespace

kel_value* push_os_info() {
    struct utsname u {};
    (void)::uname(&u);
    int32_t numbers[3];
    release_numbers(u.release, numbers);
    kel_value* const entry = stack::top();
    kel_value* spec = block::push_only_star(8);
    add_field(spec, "name", push_text(pretty_name()));
    stack::drop_cells(1);
    kel_value* arch = word::push_from_symbol(symbol::intern(arch_name(u.machine)));
    add_field(spec, "arch", arch);
    stack::drop_cells(1);
    uint8_t bytes[3];
    for (int i = 0; i < 3; ++i) bytes[i] = static_cast<uint8_t>(numbers[i] > 255 ? 255 : numbers[i]);
    kel_value t;
    tuple::init_cell(&t, bytes, 3);
    add_field(spec, "version", &t);
    kel_value b;
    set_integer(&b, numbers[2]);
    add_field(spec, "build", &b);
    const kel_value made = *object::construct(spec, nullptr, true);
    stack::regs.top = entry;
    kel_value* out = stack::push_unset();
    *out = made;
    return out;
}

void install_os_routines() {
    routines::entry e;
    e.name = "__get-OS-info";
    e.spec = R"k("Returns detailed operating system version information" return: [object!])k";
    e.fn = os_info_routine_fn;
    e.cells = true;
    routines::define(routine_numbers::os_info, e);
}

}  // namespace kel::natives
