// scalar_harness: see scalar_harness.h.
#include "tests/unit/scalar_harness.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <unistd.h>

#include "datatypes/integer.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

namespace kel::test {

kel_value flt(double d) { kel_value v; set_float(&v, d); return v; }
kel_value pct(double f) { kel_value v; set_float(&v, f, types::percent); return v; }
kel_value tm(double s) { kel_value v; set_float(&v, s, types::time); return v; }
kel_value trip(int32_t a, int32_t b, int32_t c) {
    kel_value v;
    init_cell(&v, types::triple);
    v.w1 = static_cast<uint32_t>(a);
    v.w2 = static_cast<uint32_t>(b);
    v.w3 = static_cast<uint32_t>(c);
    return v;
}

namespace {

std::vector<std::string>& spellings() {
    static std::vector<std::string> names;
    return names;
}

bool spelling_of(const kel_value* w, const char** text, size_t* length) {
    const uint32_t i = word_symbol(w);
    if (i >= spellings().size()) return false;
    *text = spellings()[i].data();
    *length = spellings()[i].size();
    return true;
}

}  // namespace

kel_value word(const char* spelling, uint32_t type) {
    spellings().push_back(spelling);
    kel_value v;
    init_cell(&v, type);
    v.w2 = static_cast<uint32_t>(spellings().size() - 1);
    return v;
}

// The runtime is up first: its start-up installs the symbol table's hook,
// which would otherwise replace this one at the first boot inside the scope.
with_words::with_words() : saved((boot(), scalar::hooks.word_spelling)) { scalar::hooks.word_spelling = spelling_of; }
with_words::~with_words() { scalar::hooks.word_spelling = saved; }

outcome call_action(int action, std::vector<kel_value> args, const refinements& refs) {
    boot();
    outcome o{};
    set_unset(&o.value);
    uint32_t type = type_of(&args[0]);
    if ((action == act::make || action == act::to) && type == types::datatype) type = get_datatype(&args[0]);
    if (!registry::supported(type, action)) {
        o.unsupported = true;
        return o;
    }
    stack::reset();
    const error_trap trap = open_error_trap();
    stack::open_native_frame(nullptr);
    for (const kel_value& a : args) stack::push_copy(&a);
    try {
        signal_code c = registry::handler(type, action)(refs);
        if (c != signal_code::none) o.error = "signal";
        o.value = *stack::arguments();
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) throw;
        o.error = last_fired().id;
    }
    stack::reset();
    return o;
}

refinements refs_of(std::initializer_list<std::pair<int, int>> slots) {
    refinements r = refinements::none();
    for (auto [slot, offset] : slots) r.at[slot] = offset;
    return r;
}

outcome round(const kel_value& v, const kel_value* scale, const std::string& flag) {
    static const char* const flags[] = {"even", "down", "half-down", "floor", "ceiling", "half-ceiling"};
    std::vector<kel_value> args{v};
    refinements r = refinements::none();
    if (scale) {
        r.at[0] = 1;
        args.push_back(*scale);
    }
    for (int i = 0; i < 6; ++i)
        if (flag == flags[i]) r.at[i + 1] = static_cast<int32_t>(args.size());
    return call_action(act::round, args, r);
}

outcome random(const kel_value& v, bool seed, bool secure) {
    refinements r = refinements::none();
    if (seed) r.at[0] = 1;
    if (secure) r.at[1] = 1;
    return call_action(act::random, {v}, r);
}

std::string show(const kel_value& v) {
    return std::string(registry::type_name(type_of(&v))) + " " + mold(v);
}

std::string show(const outcome& o) {
    if (o.unsupported) return "unsupported";
    if (!o.error.empty()) return "!" + o.error;
    return show(o.value);
}

std::string capture(const std::function<void()>& body) {
    const error_trap trap = open_error_trap();
    try {
        body();
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) throw;
        return std::string("!") + last_fired().id;
    }
    close_error_trap(trap, false);
    return "";
}

std::string last_fired_word(int i) {
    const char* w = last_fired().arg_words[i];
    return w ? w : "";
}

std::string last_fired_arg(int i) {
    const fired_error& e = last_fired();
    if (i >= e.argument_count || e.arg_words[i]) return "";
    return show(e.args[i]);
}

int32_t compare(const kel_value& a, const kel_value& b, int32_t op) {
    boot();
    return registry::compare_handler(type_of(&a))(&a, &b, op);
}

std::vector<std::string> python_lines(const std::string& code, const std::string& input) {
    // The input goes through a file: run_process writes all of standard input
    // before it reads any output, so a large exchange through pipes would
    // fill both and never finish.
    char path[] = "/tmp/kel_scalar_oracle_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {"python failed: no temporary file"};
    const bool written = write(fd, input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(fd);
    process_result r;
    if (written)
        r = run_process({"/usr/bin/python3", "-c", "import sys; sys.stdin = open(sys.argv[1]); exec(sys.argv[2])",
                         path, code});
    unlink(path);
    if (!written) return {"python failed: temporary file not written"};
    std::vector<std::string> lines;
    if (r.exit_code != 0) {
        lines.push_back("python failed: " + r.err);
        return lines;
    }
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

double from_hex_text(const std::string& s) {
    if (s == "nan") return std::nan("");
    if (s == "inf") return INFINITY;
    if (s == "-inf") return -INFINITY;
    return std::strtod(s.c_str(), nullptr);
}

std::string hex_text(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", d);
    return buf;
}

}  // namespace kel::test
