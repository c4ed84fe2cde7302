// boot: see boot.h.
//
// Order of the boot, fixed:
//   1. datatype, native and action words (the tables are filled by runtime::init);
//   2. the collector goes active and word recording stops;
//   3. the phases, in the order of `phases` (generated from the
//      boot-NN-name.kel sources), each with its C++ steps before and after
//      (`hooks_of`); after the system phase
//      the error catalogue and prototype that start-up built from their
//      embedded source are handed to system/catalog/errors and
//      system/standard/error, and the objects C++ reads by position are
//      checked;
//      after the reactivity phase the reactor prototypes take their fixed
//      class ids; event! registers (with the row the GUI handed over, or a
//      bare one) before the event phase, and after the view phase the
//      fields the GUI reads by position are checked;
//   4. the boot-args phase: the rebuilt command line goes into
//      system/script/args before it, and argv into system/options/boot and
//      system/options/args after it;
//   5. the stress check, if asked for, starts.
// Every block the library loads carries memory::flag_library, so the
// interpreter runs it as compiled code. A language error anywhere in the
// boot, or an object out of its fixed order, stops the process through
// catalog::boot_stop with a message and a non-zero exit code.
#include "library/boot.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "evaluator/natives.h"
#include "kernel/stack.h"
#include "kernel/catalog.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "platform/platform.h"
#include "evaluator/routines.h"
#include "services/kelbin.h"
#include "services/lexer.h"

namespace kel::boot {

namespace {

bool done = false;
kel_value system_cell{types::unset, 0, 0, 0};  // a copy; the object lives in the global word

// Fields of the system object that C++ reads by position; the object is a
// member of system ("locale/currencies" for one further down), or "" for
// system itself.
const fixed_field fixed_fields[] = {
    {"", "version", 0},      {"", "catalog", 4},        {"", "options", 11},     {"", "script", 12},
    {"", "standard", 13},    {"catalog", "errors", 0},  {"options", "boot", 0},  {"options", "path", 2},
    {"options", "script", 3}, {"options", "args", 6},   {"options", "money-digits", 13}, {"options", "float", 16}, {"script", "args", 4},
    {"standard", "error", 1}, {"standard", "port", 2}, {"standard", "url-parts", 3},
    {"", "locale", 10},       {"", "console", 15},      {"", "view", 16},        {"", "lexer", 14},       {"lexer", "exit-states", 2},        {"locale", "months", 0},  {"locale", "currencies", 1}, {"locale/currencies", "list", 0},
};

// The typesets that native and action specs name. A spec is read into its
// argument cache at the first call, and the first calls come before the
// constants phase can build these with `union`; so the boot presets them from
// the families the registry rows state, and after that phase checks that the
// library built the same sets.
struct spec_typeset {
    const char* name;
    uint16_t families;  // any-type! names none and takes every id
    uint32_t only = 0;  // else the one id the set holds (external!: event!, which registers later)
};
const spec_typeset spec_typesets[] = {
    {"any-type!", 0},
    {"external!", 0, types::event},
    {"number!", family::number},
    {"any-point!", family::point},
    {"scalar!", family::scalar},
    {"any-word!", family::word},
    {"any-list!", family::list},
    {"any-path!", family::path},
    {"any-block!", family::block_like},
    {"any-function!", family::function},
    {"any-object!", family::object},
    {"any-string!", family::string_like},
    {"series!", family::series},
};

// `null-handle`: no Kel source can make a handle, so the boot sets the word
// (kind 0, value 0).
void set_null_handle() {
    kel_value h{};
    handle::init_cell(&h, 0, handle::CLASS_NULL);
    kel_value w = *word::from_c_string("null-handle");
    _context::set_bound(&w, &h);
}

kel_value make_spec_typeset(const spec_typeset& t) {
    kel_value ts;
    init_cell(&ts, types::typeset);
    for (uint32_t id = 1; id <= types::count; ++id) {
        // every type a value can have: not the abstract series! base (whose
        // name the series! typeset takes over)
        const bool member = t.only ? id == t.only : t.families == 0 ? id != types::series : in_family(id, t.families);
        if (member) typeset_add(&ts, id);
    }
    return ts;
}

void preset_spec_typesets() {
    for (const spec_typeset& t : spec_typesets) {
        const kel_value ts = make_spec_typeset(t);
        kel_value w = *word::from_c_string(t.name);
        _context::set_bound(&w, &ts);
    }
}

// After the constants phase: the library's typesets hold what the presets
// held, for every datatype registered so far.
void check_spec_typesets() {
    for (const spec_typeset& t : spec_typesets) {
        const kel_value expected = make_spec_typeset(t);
        const kel_value w = *word::from_c_string(t.name);
        const kel_value* built = _context::get_bound(&w);
        bool same = built && type_of(built) == types::typeset;
        uint32_t id = 1;
        for (; same && id <= types::count; ++id) {
            if (!registry::registered_q(id)) continue;
            same = typeset_has(built, id) == typeset_has(&expected, id);
        }
        if (!same) {
            std::string what = std::string("the constants phase built ") + t.name + " unlike the native specs expect";
            if (id > 1 && id - 1 <= types::count) what += std::string(" (") + registry::type_names[id - 1].name + ")";
            catalog::boot_stop(what.c_str());
        }
    }
}

// The value of a global word that a phase must leave as a `type`; anything
// else stops the boot, naming the phase, the word and what it should be.
kel_value phase_global(const char* phase, const char* name, uint32_t type, const char* kind) {
    const kel_value* bound = _context::get_bound(word::from_c_string(name));
    if (!bound || type_of(bound) != type) {
        const std::string what = std::string("phase ") + phase + ": " + name + " is not " + kind;
        catalog::boot_stop(what.c_str());
    }
    return *bound;
}

// After the constants phase: event! registers later in the boot, so the
// constants phase cannot name it; it joins external! and any-type! now,
// before any spec is read with them, so that every function and native that
// takes any value takes an event too.
void admit_later_types() {
    for (const char* name : {"external!", "any-type!"}) {
        kel_value w = *word::from_c_string(name);
        kel_value grown = phase_global("constants", name, types::typeset, "a typeset");
        typeset_add(&grown, types::event);
        _context::set_bound(&w, &grown);
    }
}

// Sets the library-code flag on the block's buffer and every block, paren
// and path buffer inside it.
void flag_library(const kel_value* block, int depth) {
    if (depth > 256) catalog::boot_stop("library source nested too deep");
    memory::buffer_of(series_node(block))->flags |= memory::flag_library;
    const int32_t n = block::ks_length_q(block);
    const int32_t head = series_head(block);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* v = block::ks_abs_at(block, head + i);
        if (in_family(type_of(v), family::block_like) && series_node(v)) {
            const kel_value inner = *v;
            flag_library(&inner, depth + 1);
        }
    }
}

// The error just raised (its copy at the top of the argument stack while the
// trap is open), formed.
std::string formed_last_error() {
    const kel_value* e = stack::top() > stack::bottom() ? stack::top() - 1 : nullptr;
    if (!e || type_of(e) != types::error) e = error::last();
    if (!e || type_of(e) != types::error) return "an error was raised";
    char* text = nullptr;
    int32_t length = 0;
    const kel_value copy = *e;
    form_utf8(&copy, &text, &length);
    return std::string(text, static_cast<size_t>(length));
}

}  // namespace

void run_source(const char* name, const char* source, size_t length) {
    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    try {
        kel_value* block = load_library_source(source, length, name);
        const kel_value code = *block;
        const signal_code c = interpreter::eval_block(&code, false);
        if (c == signal_code::error) throw kel_unwind{code_value(c)};  // received by the trap all the same
        close_error_trap(trap, false);
        if (c != signal_code::none) {
            const std::string what = std::string("phase ") + name + ": a control signal escaped";
            catalog::boot_stop(what.c_str());
        }
    } catch (const kel_unwind& u) {
        std::string what = std::string("phase ") + name + ": ";
        what += u.code == code_value(signal_code::error) ? formed_last_error() : "a control signal escaped";
        close_error_trap(trap, u.code == code_value(signal_code::error));
        catalog::boot_stop(what.c_str());
    }
    stack::regs.top = entry;
}

namespace {

// The object value of a word's field in an object, or null.
kel_value* field_of(const kel_value* object, const char* name) {
    if (!object || type_of(object) != types::object) return nullptr;
    const kel_value w = *word::from_c_string(name);
    const int32_t i = object::index_of_word(object, &w);
    if (i < 0) return nullptr;
    return object::get_values(object) + i;
}

// The object at a "/"-separated path of members ("locale/currencies"), or null.
kel_value* member_at(const kel_value* object, const char* path) {
    kel_value holder = *object;
    kel_value* at = nullptr;
    for (const char* p = path; *p;) {
        const char* slash = std::strchr(p, '/');
        const std::string name = slash ? std::string(p, slash) : std::string(p);
        at = field_of(&holder, name.c_str());
        if (!at) return nullptr;
        holder = *at;
        p = slash ? slash + 1 : p + name.size();
    }
    return at;
}

}  // namespace

namespace {

// One fixed field of the object `holder` (named `object` in the message).
void check_field(const kel_value* holder, const std::string& object, const fixed_field& f) {
    if (!holder || type_of(holder) != types::object) {
        const std::string what = object + " is not an object";
        catalog::boot_stop(what.c_str());
    }
    const kel_value h = *holder;
    const kel_value w = *word::from_c_string(f.field);
    const int32_t i = object::index_of_word(&h, &w);
    if (i != f.index) {
        std::string where = object + "/" + f.field;
        where += i < 0 ? " is missing" : " is out of its fixed order (field " + std::to_string(i) +
                                              ", expected " + std::to_string(f.index) + ")";
        catalog::boot_stop(where.c_str());
    }
}

}  // namespace

namespace gui {
gui_hooks hooks;
}  // namespace gui

void check_system(const kel_value* system) {
    for (const fixed_field& f : fixed_fields) {
        const kel_value* holder = *f.object ? member_at(system, f.object) : system;
        check_field(holder, std::string("system") + (*f.object ? std::string("/") + f.object : ""), f);
    }
}

void check_view_fields() {
    for (size_t n = 0; n < gui::hooks.view_field_count; ++n) {
        const fixed_field& f = gui::hooks.view_fields[n];
        const char* slash = std::strchr(f.object, '/');
        const std::string first = slash ? std::string(f.object, slash) : std::string(f.object);
        const kel_value* holder = _context::get_bound(word::from_c_string(first.c_str()));
        if (holder && slash) {
            const kel_value top = *holder;
            holder = member_at(&top, slash + 1);
        }
        check_field(holder, f.object, f);
    }
}

namespace {

// Hands the catalogue and the error prototype to the system object.
void take_over_errors() {
    kel_value* errors = system_field("catalog", "errors");
    kel_value* proto = system_field("standard", "error");
    if (!errors || !proto) catalog::boot_stop("system/catalog/errors or system/standard/error is missing");
    *errors = *error::catalog();
    proto = system_field("standard", "error");
    *proto = *error::prototype();
}

// `make object!` gave the reactor prototypes run-time classes; compiled code
// and `reflect ... 'class` know them by their fixed ones. The self slot gets
// the same cell, so `self` inside the prototype agrees, and objects made from
// a prototype without new words inherit the fixed class.
void fix_reactor_classes() {
    for (const char* name : {"reactor!", "deep-reactor!"}) {
        kel_value w = *word::from_c_string(name);
        kel_value o = phase_global("reactivity", name, types::object, "an object");
        o.w2 = object::boot_class_id(name);
        _context::set_bound(&w, &o);
        object::copy_to_self(&o);
    }
}

// system/build/date: the build stamp read as a date!.
void stamp_build_date() {
    kel_value* date = system_field("build", "date");
    if (!date) catalog::boot_stop("system/build/date is missing");
    const char* stamp = std_output::build_date();
    kel_value* const entry = stack::top();
    kel_value* loaded = stack::push_unset();
    lexer::options o;
    (void)lexer::transcode_utf8(loaded, reinterpret_cast<const uint8_t*>(stamp), std::strlen(stamp), o);
    const kel_value b = *loaded;
    const kel_value* v = type_of(&b) == types::block && block::ks_length_q(&b) == 1
                             ? block::ks_abs_at(&b, series_head(&b))
                             : nullptr;
    if (!v || type_of(v) != types::date) catalog::boot_stop("the build stamp is not a date");
    *system_field("build", "date") = *v;
    stack::regs.top = entry;
}

// system/build/git: the source revision the build recorded (empty when the
// sources were no git checkout, and the field stays none).
const char build_git_record[] =
#include "library/build_git.inc"
    ;

void stamp_build_git() {
    if (build_git_record[0]) run_source("build-git", build_git_record, std::strlen(build_git_record));
}

// The lexer names structural tokens through system/lexer/exit-states, read
// at each event: a script may put its own block there, or none. The lexer
// copies the cell it is given before anything runs, so a member replaced in
// mid-scan pulls nothing away.
void hand_exit_states_to_lexer() {
    const kel_value* states = system_field("lexer", "exit-states");
    if (!states || type_of(states) != types::block) catalog::boot_stop("system/lexer/exit-states is not a block");
    lexer::set_exit_states(states);
    lexer::set_exit_states_source([]() -> const kel_value* { return system_field("lexer", "exit-states"); });
}

// An error report's stack and files lines follow system/state: its
// stack-trace level (a positive integer shows the callers, at that level)
// and a copy of its source-files block as it is when the error is caught.
int32_t state_trace_level() {
    const kel_value* level = system_field("state", "stack-trace");
    return level && type_of(level) == types::integer ? get_integer(level) : 0;
}

void state_source_files(kel_value* out) {
    const kel_value* files = system_field("state", "source-files");
    if (!files || type_of(files) != types::block) {
        set_none(out);
        return;
    }
    const kel_value block = *files;
    actions::copy_value(&block, out, nullptr, false, nullptr);
}

void hand_trace_settings_to_errors() {
    error::trace_level = state_trace_level;
    error::trace_files = state_source_files;
}

// Before the boot-args phase: the whole command line rebuilt from argv,
// program first, into system/script/args for `extract-boot-args` (none
// without arguments, and the phase then leaves everything to the step below).
void give_command_line() {
    const int argc = runtime::record.argument_count;
    char** argv = runtime::record.argument_vector;
    kel_value* const entry = stack::top();
    kel_value* line = stack::push_unset();
    if (argc > 1) rebuild_command_line(argc, argv, line);
    else set_none(line);
    *system_field("script", "args") = *line;
    stack::regs.top = entry;
}

// After the boot-args phase: system/options/boot (the program) and
// system/options/args (argv without the program) again from argv, which
// holds arguments exactly as given where the rebuilt line could not (one
// holding both a blank and a quote).
void fill_boot_args() {
    const int argc = runtime::record.argument_count;
    char** argv = runtime::record.argument_vector;
    kel_value* const entry = stack::top();
    kel_value* args = block::push_only_star(argc > 1 ? argc - 1 : 1);
    for (int i = 1; i < argc; ++i) {
        kel_value* s = push_os_text(argv[i], std::strlen(argv[i]));
        block::ks_add(args, s);
        stack::drop_cells(1);
    }
    kel_value* program = stack::push_unset();
    if (argc > 0)
        *program = *push_os_text(argv[0], std::strlen(argv[0]));
    else
        set_none(program);
    *system_field("options", "args") = *args;
    *system_field("options", "boot") = *program;
    stack::regs.top = entry;
}

// Text mode's print hook: the value (a string! formed by print) goes to
// standard output as it is stored, one code point per unit.
void print_to_stdout(const kel_value* value, bool line_end) {
    if (type_of(value) != types::string) return;
    kel_value s = *value;
    const char* head = string::ks_head(&s);
    const char* tail = string::ks_tail(&s);
    const uint32_t unit = string::buffer(&s)->unit();
    std_output::write(head, tail > head ? static_cast<size_t>(tail - head) : 0, static_cast<int>(unit), line_end);
}

// event! registers from the boot, after the typesets were built from the
// start-up's 53 types; its word is made and set at once.
void register_event_type() {
    const uint32_t t = registry::register_boot_types(gui::hooks.event_row);
    if (t == 0) return;
    kel_value w = *word::from_c_string(registry::type_names[t].name);
    registry::type_names[t].word = w;
    kel_value d;
    set_datatype(&d, t);
    _context::set_bound(&w, &d);
}

// The system object's values that belong to this process (its directory,
// its cache folder): the pool holds what the build's own run found.
const char start_process_source[] =
#include "library/start-process.kel.inc"
    ;
void start_process() { run_source("process", start_process_source, sizeof start_process_source - 1); }

// The system object is kept in root (even if its word changes) and checked,
// and the values start-up made before it existed are handed to it; without
// one the boot stops with `missing`.
void keep_system(const char* missing) {
    kel_value w = *word::from_c_string("system");
    const kel_value* s = _context::get_bound(&w);
    if (!s || type_of(s) != types::object) catalog::boot_stop(missing);
    system_cell = *s;
    block::ks_add(block::root(), &system_cell);
    check_system(&system_cell);
    take_over_errors();
    hand_exit_states_to_lexer();
    hand_trace_settings_to_errors();
}

// After the system phase: the system object taken over, stamped with this
// build, and given this process's values.
void take_over_system() {
    keep_system("the system object was not built");
    stamp_build_date();
    stamp_build_git();
    start_process();
}

// The phases: the build generates one row per boot-NN-name.kel (library/,
// gui/view/), and a phase's C++ steps before and after its sources are
// named here by the phase's id, so a phase that is renamed or removed
// leaves no hook silently unrun: the build fails instead.
struct phase_source {
    const char* file;
    const char* text;
    size_t length;
};
struct phase_hooks {
    void (*before)() = nullptr;
    void (*after)() = nullptr;
    // Kel code that depends on this process, run between the phase's steps
    // again after a boot from the pool (the phase's definitions are there).
    const char* every_start = nullptr;
};
struct phase {
    const char* name;
    const phase_source* sources;
    size_t source_count;
    void (*before)();
    void (*after)();
    const char* every_start;
};

enum class phase_id {
#include "library/boot_phase_ids.inc"
};

template <phase_id>
constexpr phase_hooks hooks_of{};
// The constants phase's typesets are checked against the native specs,
// then the types registered later in the boot join them.
void check_and_admit_types() {
    check_spec_typesets();
    admit_later_types();
}

template <>
constexpr phase_hooks hooks_of<phase_id::constants>{set_null_handle, check_and_admit_types};
template <>
constexpr phase_hooks hooks_of<phase_id::system>{nullptr, take_over_system};
template <>
constexpr phase_hooks hooks_of<phase_id::reactivity>{nullptr, fix_reactor_classes};
template <>
constexpr phase_hooks hooks_of<phase_id::boot_args>{give_command_line, fill_boot_args, "extract-boot-args"};
template <>
constexpr phase_hooks hooks_of<phase_id::event>{register_event_type, nullptr};
template <>
constexpr phase_hooks hooks_of<phase_id::view>{nullptr, check_view_fields};

#include "library/boot_phase_rows.inc"

}  // namespace

kel_value* load_library_source(const char* text, size_t length, const char* phase) {
    kel_value* out = stack::push_unset();
    lexer::options o;
    (void)lexer::transcode_utf8(out, reinterpret_cast<const uint8_t*>(text), length, o);
    if (type_of(out) != types::block) {
        const std::string what = std::string("phase ") + phase + ": the source did not load";
        catalog::boot_stop(what.c_str());
    }
    const kel_value b = *out;
    flag_library(&b, 0);
    return out;
}

const kel_value* system_object() { return &system_cell; }

kel_value* system_member(const char* name) { return field_of(&system_cell, name); }

kel_value* system_field(const char* object, const char* field) {
    kel_value* holder = field_of(&system_cell, object);
    if (!holder) return nullptr;
    const kel_value h = *holder;
    return field_of(&h, field);
}

void rebuild_command_line(int count, char* const* args, kel_value* out) {
    const std::string line = platform::command_line(count, args);
    *out = *push_os_text(line.data(), line.size());
    stack::drop_cells(1);
}

// Arguments come from the system as bytes: text that is not valid UTF-8 is
// taken leniently (each bad byte kept as a code point of its own) rather
// than refused, so any file name can be passed to a script.
kel_value* push_os_text(const char* bytes, size_t size) {
    kel_value* cell = stack::push_unset();
    text_out::new_buffer(cell, static_cast<uint32_t>(size));
    file::append_os_text(cell, bytes, size);
    return cell;
}

void form_utf8(const kel_value* value, char** text, int32_t* length) {
    static std::string fallback;
    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    try {
        kel_value* buffer = stack::push_unset();
        text_out::new_buffer(buffer, 128);
        // The whole text: a budget of 0 would leave an object's fields out.
        (void)actions::form_value(value, buffer, nullptr, 0x7FFFFFFF);
        int32_t count = -1;
        const char* bytes = unicode::to_utf8(buffer, &count);
        fallback.assign(bytes, static_cast<size_t>(count));
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        fallback = "(the value could not be formed)";
    }
    stack::regs.top = entry;
    *text = fallback.data();
    *length = static_cast<int32_t>(fallback.size());
}

namespace {

bool (*const make_routine_value)(int32_t, kel_value*) = [](int32_t number, kel_value* out) {
    if (number < 1 || !routines::at(number).fn) return false;
    routines::make_value(number, out);
    return true;
};

}  // namespace

void decode_pool(const pool_bytes& pool) {
    kel_value literals;
    block::init_cell(&literals, 4);
    block::ks_add(block::root(), &literals);
    kelbin::make_routine = make_routine_value;
    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    try {
        kelbin::boot_decode(pool.bytes, pool.size, &literals);
        close_error_trap(trap, false);
    } catch (const kel_unwind& u) {
        const std::string what = "the boot pool: " + formed_last_error();
        close_error_trap(trap, u.code == code_value(signal_code::error));
        catalog::boot_stop(what.c_str());
    }
    stack::regs.top = entry;
}

namespace {

// The source boot: every phase in order, the collector on from its start.
void boot_from_source() {
    collector::set_active(true);
    runtime::recording = false;
    function::library_phase = true;
    for (const phase& p : phases) {
        if (p.before) p.before();
        for (size_t i = 0; i < p.source_count; ++i) run_source(p.name, p.sources[i].text, p.sources[i].length);
        if (p.after) p.after();
    }
    function::library_phase = false;
    // `do-file` runs as user code, like the scripts it runs: its steps show
    // in traces, and an #include in such a script becomes `do %file`.
    if (const kel_value* f = _context::get_bound(word::from_c_string("do-file")))
        if (type_of(f) == types::function) function::unmark_library(f);
}

// The boot from the pool: the decode with the collector still off, then
// what C++ keeps of the system object, then the phases and values that
// depend on this process.
void boot_from_pool() {
    decode_pool(embedded_pool);
    collector::set_active(true);
    runtime::recording = false;
    register_event_type();
    set_null_handle();
    keep_system("the boot pool holds no system object");
    function::library_phase = true;
    start_process();
    for (const phase& p : phases) {
        if (!p.every_start) continue;
        if (p.before) p.before();
        run_source(p.name, p.every_start, std::strlen(p.every_start));
        if (p.after) p.after();
    }
    function::library_phase = false;
}

bool pool_boot_q() {
    if (!embedded_pool.bytes) return false;
    const char* source = std::getenv("KEL_BOOT_SOURCE");
    return !(source && source[0] && std::strcmp(source, "0") != 0);
}

}  // namespace

void run() {
    if (done) return;
    // 1. The datatype, native and action words.
    for (uint32_t t = 1; t <= registry::highest_type_id; ++t) {
        if (!registry::registered_q(t)) continue;
        kel_value d;
        set_datatype(&d, t);
        kel_value w = registry::type_names[t].word;
        _context::set_bound(&w, &d);
    }
    for (int32_t n = 1; n <= natives::number::count; ++n) {
        kel_value* holder = stack::push_unset();
        natives::make_native(n, holder);
        kel_value w = *word::from_c_string(natives::listed_name(n));
        _context::set_bound(&w, holder);
        stack::drop_cells(1);
    }
    for (int32_t a = 1; a <= act::count; ++a) {
        const char* name = action_specs::of(a).word;
        if (!name) continue;
        kel_value* holder = stack::push_unset();
        natives::make_action(a, holder);
        kel_value w = *word::from_c_string(name);
        _context::set_bound(&w, holder);
        stack::drop_cells(1);
    }
    preset_spec_typesets();
    dyn_print::add(print_to_stdout, nullptr);
    // 2. Collections may happen from here (after the pool's decode); the
    // stress check waits for the end of the boot.
    const uint32_t stress = collector::stress_interval();
    collector::set_stress(0);
    // 3. The library: from the pool, or from source.
    if (pool_boot_q()) boot_from_pool();
    else boot_from_source();
    std_output::flush();
    collector::set_stress(stress);
    done = true;
}

bool done_q() { return done; }

pool_bytes embedded_pool;

void write_pool(kel_value* out) {
    const uint32_t g = _context::global();
    const int32_t n = _context::length(g);
    kel_value* words = block::push_only_star(n > 0 ? n : 1);
    for (int32_t i = 0; i < n; ++i) {
        kel_value w;
        init_cell(&w, types::word);
        w.w1 = g;
        w.w2 = word_symbol(context_ops::word_at(g, i));
        w.w3 = static_cast<uint32_t>(i);
        block::ks_add(words, &w);
    }
    kel_value* values = block::push_only_star(n > 0 ? n : 1);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value v = _context::values(g)[i];
        block::ks_add(values, &v);
    }
    kelbin::encode_pool(words, values, out);
    stack::drop_cells(2);
}

}  // namespace kel::boot
