// eval_support: see eval_support.h.
#include "tests/unit/eval_support.h"

#include "kernel/native_api.h"

namespace kel::test {

std::string fired() {
    static const char* const categories[] = {"throw", "note", "syntax", "script", "math",
                                             "access", "reserved1", "reserved2", "user", "internal"};
    const fired_error& e = last_fired();
    return std::string(categories[static_cast<int>(e.category)]) + "/" + e.id;
}

std::string run_block(const kel_value& block) {
    runtime_env::boot();
    const error_trap trap = open_error_trap();
    kel_value* entry = stack::top();
    std::string out;
    try {
        const signal_code c = interpreter::eval_block(&block, false);
        if (c != signal_code::none) {
            out = "!code " + std::to_string(code_value(c));
        } else {
            const kel_value r = *entry;
            out = type_of(&r) == types::error ? std::string("error!") : mold(r);
        }
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) return "!unwind " + std::to_string(u.code);
        out = "!" + fired();
    }
    stack::regs.top = entry;
    return out;
}

std::string run(const char* code) { return run_block(runtime_env::read(code)); }

std::string run_type(const char* code) {
    runtime_env::boot();
    const kel_value block = runtime_env::read(code);
    const error_trap trap = open_error_trap();
    kel_value* entry = stack::top();
    std::string out;
    try {
        const signal_code c = interpreter::eval_block(&block, false);
        out = c == signal_code::none ? registry::type_name(type_of(entry)) : "!code";
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) throw;
        out = "!" + fired();
    }
    stack::regs.top = entry;
    return out;
}

std::string apply_mode(const char* function, const char* args, int32_t mode) {
    runtime_env::boot();
    const kel_value word = *word::from_c_string(function);
    const kel_value fn = *_context::get_bound(&word);
    const kel_value block = runtime_env::read(args);
    interpreter::code_position c = interpreter::position_of(&block);
    const error_trap trap = open_error_trap();
    kel_value* entry = stack::top();
    std::string out;
    try {
        const signal_code code = interpreter::invoke_value(&fn, &c, true, nullptr, &word, &fn, mode, false);
        out = code == signal_code::none ? mold(*entry) : "!code";
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        if (u.code != code_value(signal_code::error)) throw;
        out = "!" + fired();
    }
    stack::regs.top = entry;
    return out;
}

std::string fired_args() {
    const fired_error& e = last_fired();
    std::string out;
    for (int i = 0; i < e.argument_count; ++i) {
        if (i) out += " ";
        out += e.arg_words[i] ? std::string(e.arg_words[i]) : mold(e.args[i]);
    }
    return out;
}

std::string value_of(const char* name) {
    kel_value w = *word::from_c_string(name);
    return mold(*_context::get_bound(&w));
}

}  // namespace kel::test
