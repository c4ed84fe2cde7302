// startup: the composition root. The list in `steps` is the only place that
// decides what starts when, and this is the one module that knows every layer;
// `main_body` runs the steps, the boot and the console on the runtime thread.
#include "kernel/runtime.h"

#include <cstring>

#include "app/datatype_providers.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/integer.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/port.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "evaluator/checksum.h"
#include "gui/backend/event.h"
#include "gui/backend/face_fields.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "evaluator/natives.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_os.h"
#include "evaluator/natives_words.h"
#include "kernel/random.h"
#include "kernel/stack.h"
#include "console/console_routines.h"
#include "console/line_editor.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/fatal.h"
#include "kernel/handles.h"
#include "kernel/hashtable.h"
#include "kernel/heap.h"
#include "kernel/ownership.h"
#include "datatypes/ownership_delivery.h"
#include "kernel/print.h"
#include "kernel/registry.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"
#include "kernel/slots.h"
#include "kernel/catalog.h"
#include "library/boot.h"
#include "library/routines_core.h"
#include "library/routines_image.h"
#include "library/url_ports.h"
#include "library/routines_preproc.h"
#include "services/clipboard.h"
#include "services/compression.h"
#include "services/lexer.h"
#include "services/http.h"
#include "services/simple_io.h"

namespace kel::runtime {

namespace {

bool done = false;

void init_print_hooks() { dyn_print::init(); }
// The process's standard output, probed once (terminal or redirected); the
// platform layer below the kernel cannot reach the print module itself.
void init_platform() { std_output::init(); }
void init_cycle_stack() { cycles::init(); }
void init_memory_root() { memory::init(); }
void init_frames() { memory::init_frames(); }
void init_root_buffers() { collector::init_root_block(); }
// The collector marks the name tables the words' module makes.
void init_name_roots() { collector::set_name_roots(words::roots); }
void init_stacks() { stack::setup(); }
void init_handle_table() { externals::init(); }
void init_owner_table() { ownership::init(); }
void init_slot_table() { slot_table::init(); }
void init_collector() { collector::init(); }
// The natives' and actions' spec texts are Kel source: the evaluator reads
// them through the lexer, which sits below it.
void init_native_spec_reader() { natives::read_spec = lexer::read_spec_text; }
// Words and blocks made from text (`to word! "a"`, `to block! "a b"`) take
// the lexer's scan and load.
void init_word_text_scanner() { word::scan_value = lexer::scan_value; }
void init_block_text_loader() {
    block::load_text = [](kel_value* out, const kel_value* text) {
        (void)lexer::transcode_text(out, text, -1, lexer::options{});
    };
}
// Map keys are stored by the map! module's rule, wherever a map is built
// (the hash tables below it only index them); `extend` and `foreach` take
// their map! steps from the same module.
void init_map_services() {
    hashtable::normalize_map_key = [](kel_value* key) { map::normalize_key(key, nullptr); };
    natives::map_hooks.extend = map::extend_pairs;
    natives::steppers.map_next = map::foreach_next;
}
// foreach with a block of words over an image! takes its pixels from the
// image module.
void init_image_services() { natives::steppers.image_next = image::foreach_next; }
// make native! and make action! fill values from the native table.
// `fire` builds its error! value through the error! module, above the kernel.
void init_error_builder() { raising.build = error::from_fire; }
void init_native_maker() { native::maker = {natives::table_size, natives::make_value}; }

// The error catalogue's source, the library's text embedded at build time.
const char error_catalog_source[] =
#include "library/catalog_errors.kel.inc"
    ;

// Services the datatypes take from the symbol table and the runtime words: a
// word's spelling (integer! from an issue, time! fields) and the bitset
// dialect's words.
void init_datatype_services() {
    scalar::install_symbol_services();
    money::install_services();
    bitset::install_dialect_words();
}

// Until the boot builds the system object: the object hooks, the ownership
// layer's delivery to on-deep-change* (and the object module's binding
// calls into it), and the error catalogue (read from its embedded source by
// the lexer) with the error prototype.
void init_objects() {
    object::init();
    ownership::dispatch = ownership_delivery::deliver;
    ownership::each_field = ownership_delivery::each_field;
    object::owners = {ownership::bind, ownership::bind_object, ownership::unbind};
    error::load_catalog(error_catalog_source);
}

// Making a port reads the system object the library builds; a port whose
// actor is a native handle! takes its actions from the actor's table.
void init_port_system_fields() { port::system = {boot::system_field, boot::system_object}; }
void init_port_native_actors() { actions::port_actor = port::native_lookup; }

// money! reads the currency list and the money-digits option from the
// system object the boot builds (none before it: no currency is known then,
// and two fraction digits are shown).
void init_money_settings() {
    money::settings.currency_list = []() -> const kel_value* {
        const kel_value* currencies = boot::system_field("locale", "currencies");
        if (!currencies || type_of(currencies) != types::object) return nullptr;
        const kel_value o = *currencies;
        return object::get_values(&o);  // `list`, the first field (checked by the boot)
    };
    money::settings.money_digits = []() -> const kel_value* { return boot::system_field("options", "money-digits"); };
}

// date!: `to integer!` of a date takes its Unix seconds, and molding a
// date reads the month names from system/locale/months once the boot has
// made the system object.
void init_date_services() {
    scalar::hooks.date_unix_seconds = date::unix_seconds_int32;
    date::month_names = [] { return static_cast<const kel_value*>(boot::system_field("locale", "months")); };
}

// The file! actions read, write, delete, rename and query through the file
// services, which sit above the datatypes.
void init_simple_io() { simple_io::install_hooks(); }

// The clipboard routines live in the library; the values' formats and the
// clipboards they go to are the services' clipboard core.
void init_clipboard() { library_routines::clipboard = {clipboard::read_current, clipboard::write_current}; }

// The codec sits below the evaluator's checksum routines, which give it the
// trailers' CRC-32 and Adler-32; then its method words.
void init_compression() {
    compression::install_checks(checksum::crc32_continue, checksum::adler32_continue);
    compression::init_words();
}

// The boot registers event! with the GUI's row and checks the fields the
// GUI reads by position after the view phase.
void init_gui_boot_hooks() {
    boot::gui.event_row = event_value::row;
    boot::gui.view_fields = face_fields::fixed_rows(&boot::gui.view_field_count);
}

const init_step steps[] = {
    {"print hooks", init_print_hooks},
    {"platform", init_platform},
    {"random generator", random::setup},
    {"cycle stack", init_cycle_stack},
    {"memory root", init_memory_root},
    {"handle table", init_handle_table},
    {"datatype registry", app::register_datatypes},
    {"generic action table", actions::build_table},
    {"map services", init_map_services},
    {"image services", init_image_services},
    {"node and series frames", init_frames},
    {"root buffers", init_root_buffers},
    {"stack wiring", init_stacks},
    {"symbol table", symbol::init_table},
    {"global context", _context::init_global},
    {"symbol index", symbol::init_index},
    {"datatype-name words", words::bind_datatype_names},
    {"runtime words", words::make_runtime_words},
    {"runtime refinements", words::make_runtime_refinements},
    {"runtime issues", words::make_runtime_issues},
    {"checksum words", checksum::init_words},
    {"compression", init_compression},
    {"name roots", init_name_roots},
    {"owner table", init_owner_table},
    {"lexer tables", lexer::build_tables},
    {"word text scanner", init_word_text_scanner},
    {"block text loader", init_block_text_loader},
    {"native spec reader", init_native_spec_reader},
    {"error builder", init_error_builder},
    {"objects and error catalogue", init_objects},
    {"slot table", init_slot_table},
    {"collector", init_collector},
    {"interpreter hooks", interpreter::install_hooks},
    {"native table", natives::build_table},
    {"native entries", natives::fill_table},
    {"native maker", init_native_maker},
    {"OS routines", natives::install_os_routines},
    {"datatype services", init_datatype_services},
    {"port system fields", init_port_system_fields},
    {"port native actors", init_port_native_actors},

    {"money settings", init_money_settings},
    {"date services", init_date_services},
    {"simple io", init_simple_io},
    {"library routines", library_routines::install},
    {"clipboard", init_clipboard},
    {"image codec routines", image_routines::install},
    {"preprocessor routines", preproc_routines::install},
    {"console routines", console::install},
    {"line editor routines", console::line_editor::install},
    {"event routines", event_value::install},
    {"GUI boot hooks", init_gui_boot_hooks},
    {"http", http::install_hooks},
    {"url ports", url_ports::install_hooks},
};

}  // namespace

const init_step* init_steps(size_t* count) {
    *count = sizeof steps / sizeof steps[0];
    return steps;
}

void init() {
    if (done) return;
    for (const init_step& s : steps) s.run();
    done = true;
}

bool initialised() { return done; }

namespace {

// Whether the command line names a script: an argument that is not an option
// ("--" and what begins with it), or any argument after a bare "--".
bool names_script() {
    for (int i = 1; i < record.argument_count; ++i) {
        const char* a = record.argument_vector[i];
        if (std::strncmp(a, "--", 2) != 0) return true;
        if (a[2] == 0) return i + 1 < record.argument_count;
    }
    return false;
}

}  // namespace

int main_body() {
    record.stack_start = static_cast<char*>(__builtin_frame_address(0));
    fatal::provoke_from_environment();
    // A run that names a script is under way from the first step: an
    // interrupt during the boot ends it as a failure, never as success.
    if (names_script()) runtime::evaluating.store(true);
    init();
    boot::run();
    // The boot's last call: the console runs the script or the prompt loop,
    // and returns only when the process is to end with 0 (other statuses
    // leave through `quit`).
    // No trap is open around it: an error that escapes the console (its own
    // members spoilt by a script) is an uncaught language error, formed on
    // standard error with its exit status, not a failed boot.
    static const char launch[] = "system/console/launch";
    kel_value* const entry = stack::top();
    const kel_value code = *boot::load_library_source(launch, sizeof launch - 1, "launch");
    if (interpreter::eval_block(&code, false) != signal_code::none) {
        catalog::boot_stop("phase launch: a control signal escaped");
    }
    stack::regs.top = entry;
    std_output::flush();
    return 0;
}

}  // namespace kel::runtime
