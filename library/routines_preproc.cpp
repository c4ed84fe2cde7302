// routines_preproc: see routines_preproc.h.
#include "library/routines_preproc.h"

#include <unistd.h>

#include "datatypes/string_api.h"
#include "evaluator/routines.h"
#include "kernel/print.h"
#include "platform/platform.h"

namespace kel::preproc_routines {

bool script_mode = false;
bool stopped = false;

namespace {

using routines::machine_value;

machine_value logic_answer(bool b) {
    machine_value v;
    v.i = b ? 1 : 0;
    return v;
}

void write_all(const char* p, size_t left) { platform::write_all(2, p, left); }

machine_value report(const machine_value* a, int32_t) {
    if (!script_mode) return logic_answer(false);
    kel_value text = *a[0].cell;
    int32_t count = -1;
    const char* bytes = unicode::to_utf8(&text, &count);
    std_output::flush();  // what the script printed comes first
    write_all(bytes, static_cast<size_t>(count));
    write_all("\n", 1);
    return logic_answer(true);
}

machine_value stop(const machine_value*, int32_t) {
    if (script_mode) stopped = true;
    return routines::nothing();
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "preprocessor/report";
    e.spec = R"k("Writes a preprocessor message to standard error while a command-line script runs"
        text [string!] return: [logic!])k";
    e.fn = report;
    routines::define(routine_numbers::preproc, e);
    e.name = "preprocessor/stop";
    e.spec = R"k("Marks a command-line script as stopped by the preprocessor")k";
    e.fn = stop;
    routines::define(routine_numbers::preproc + 1, e);
}

}  // namespace kel::preproc_routines
