// catalog: the catalogue reader door and the start-up stop (see catalog.h).
#include "kernel/catalog.h"

#include <unistd.h>

#include <string>

#include "kernel/fatal.h"
#include "kernel/print.h"

namespace kel::catalog {

read_fn read = nullptr;  // the lexer installs its loader

void boot_stop(const char* what, int line) {
    std::string text = std::string("*** Boot Error: ") + what;
    if (line > 0) text += " (line " + std::to_string(line) + ")";
    text += "\n";
    std_output::flush();
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
    fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
}

}  // namespace kel::catalog
