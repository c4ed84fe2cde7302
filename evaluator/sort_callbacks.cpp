// sort_callbacks: the comparison-function call of string sorting. See
// sort_callbacks.h.
#include "evaluator/sort_callbacks.h"

#include "datatypes/string_api.h"
#include "evaluator/interpreter.h"
#include "kernel/runtime_words.h"

namespace kel::sort_callbacks {

namespace {

// The string module pushed *result on the argument stack before calling, so
// it lies below the entry top, where call_function may write its answer. A
// control code from the function goes back as the answer; the string module
// turns it into the unwind that leaves the sort.
signal_code call_text_compare(const kel_value* fn, const kel_value* first, const kel_value* second,
                              kel_value* result) {
    const kel_value args[2] = {*first, *second};
    return interpreter::call_function(fn, &words::_compare_callback, args, 2, interpreter::filter::sort, result);
}

}  // namespace

void install() { string::compare_callback = call_text_compare; }

}  // namespace kel::sort_callbacks
