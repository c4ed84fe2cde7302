// signal: how control leaves a function early. break, continue, return, exit
// and throw unwind the call marks to their receiver and then travel up the
// machine stack as a returned `signal_code`; every evaluating function checks
// the code after each sub-evaluation with KEL_PROPAGATE and returns it at once
// (touching neither the argument stack nor the call marks, which the unwinding
// already set for the receiver). A language error is the one signal that
// travels as a C++ exception, `kel_unwind`, whose code is `error`; code that
// must carry a returned code across C++ that cannot return one (a sort
// comparator, a parse action) wraps it in `kel_unwind` as well and the next
// native dispatch turns it back into a returned code.
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

// The one exception type of the runtime.
struct kel_unwind {
    uint32_t code;
};

inline constexpr uint32_t code_value(signal_code c) { return static_cast<uint32_t>(c); }

}  // namespace kel

// Evaluates `expr` (a signal_code) and returns it from the enclosing function
// when it is not `none`.
#define KEL_PROPAGATE(expr)                                               \
    do {                                                                  \
        ::kel::signal_code kel_propagate_code_ = (expr);                  \
        if (kel_propagate_code_ != ::kel::signal_code::none) [[unlikely]] \
            return kel_propagate_code_;                                   \
    } while (0)
