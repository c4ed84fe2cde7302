// lexer_readers: the lexer as the reader of the runtime's own source texts:
// the natives' and actions' spec texts (natives::read_spec) and the boot
// catalogues (catalog::read). build_tables installs both, so every text the
// start-up reads goes through the one lexer.
//
// The blocks are made in argument-stack cells (which never move), then the
// spec block is kept in the root block; a catalogue block is left pushed, as
// catalog::read promises.
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "kernel/stack.h"
#include "kernel/catalog.h"
#include "kernel/native_api.h"
#include "services/lexer.h"

namespace kel::lexer {

namespace {

void load_into(kel_value* result, const char* text, size_t length) {
    options o;
    transcode_utf8(result, reinterpret_cast<const uint8_t*>(text), length, o);
}

}  // namespace

void read_spec_text(const char* text, kel_value* out) {
    kel_value* held = stack::push_unset();
    load_into(held, text, std::strlen(text));
    *out = *block::ks_add(block::root(), held);
    stack::drop_cells(1);
}

kel_value* read_catalog_text(const char* text, size_t length) {
    kel_value* held = stack::push_unset();
    // A catalogue that does not load is a build fault: the start-up stops
    // naming the lexer's complaint (no error! can be built without it).
    const error_trap trap = open_error_trap();
    try {
        load_into(held, text, length);
    } catch (const kel_unwind&) {
        close_error_trap(trap, true);
        std::string what = std::string("a catalogue source does not load: ") + last_fired().id;
        catalog::boot_stop(what.c_str());
    }
    close_error_trap(trap, false);
    return held;
}

}  // namespace kel::lexer
