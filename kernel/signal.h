// signal: how control leaves a function early. break, continue, return, exit
// and throw unwind the call marks to their receiver and then travel up the
// machine stack as a returned `signal_code`; every evaluating function checks
// the code after each sub-evaluation with KEL_PROPAGATE and returns it at once
// (touching neither the argument stack nor the call marks, which the unwinding
// already set for the receiver). A language error travels the same way, as
// the code `error`, once the marks are unwound to its try. Code below a
// native's entry that cannot return a code throws it as `kel_unwind` (code
// `error`), and code that must carry another code across C++ that cannot
// return one (a sort comparator, a parse action) wraps it in
// `kel_control_unwind`, derived from `kel_unwind`; the next native dispatch
// turns either back into a returned code. So a C++ throw crosses only the
// raising native's own frames. An error whose receiver is a trap (C++ that
// wants errors back as exceptions) stays the exception up to the trap's
// opener.
#pragma once
#include <cstdint>

namespace kel {

enum class [[nodiscard]] signal_code : uint32_t {
    none = 0,  // nothing pending: go on
    throw_ = 0x7FFFFFFAu,
    exit = 0x7FFFFFFBu,
    return_ = 0x7FFFFFFCu,
    continue_ = 0x7FFFFFFDu,
    break_ = 0x7FFFFFFEu,
    error = 0x7FFFFFFFu,
};

// The exception type of the runtime: an error travels as this base type
// (code `error`); receivers of errors catch it, which also catches the
// wrapped control codes below.
struct kel_unwind {
    uint32_t code;
};

// A control code (never `error`) carried across C++ that cannot return it.
struct kel_control_unwind : kel_unwind {};

inline constexpr uint32_t code_value(signal_code c) { return static_cast<uint32_t>(c); }

// Throws a code with the type its kind travels as: an error as kel_unwind, a
// control code as kel_control_unwind.
[[noreturn]] inline void throw_unwind(uint32_t code) {
    if (code == code_value(signal_code::error)) throw kel_unwind{code};
    throw kel_control_unwind{{code}};
}

}  // namespace kel

// Evaluates `expr` (a signal_code) and returns it from the enclosing function
// when it is not `none`.
#define KEL_PROPAGATE(expr)                                               \
    do {                                                                  \
        ::kel::signal_code kel_propagate_code_ = (expr);                  \
        if (kel_propagate_code_ != ::kel::signal_code::none) [[unlikely]] \
            return kel_propagate_code_;                                   \
    } while (0)
