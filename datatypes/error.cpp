// error: the error! datatype and the error catalogue (see error.h).
#include "datatypes/error.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/catalog.h"
#include "kernel/cycle_guard.h"
#include "kernel/series_memory.h"

namespace kel::error {

void (*current_position)(kel_value* out) = nullptr;
int32_t (*trace_level)() = nullptr;
void (*form_callers)(kel_value* buffer, int32_t mark_depth, int32_t level) = nullptr;
void (*list_callers)(kel_value* out, int32_t mark_depth, int32_t level) = nullptr;
void (*trace_files)(kel_value* out) = nullptr;

namespace {

const char* catalog_text = "";

constexpr const char* category_names[category_count] = {
    "throw", "note", "syntax", "script", "math", "access", "reserved1", "reserved2", "user", "internal",
};
constexpr const char* field_names[field::count] = {
    "code", "type", "id", "arg1", "arg2", "arg3", "near", "where", "stack", "files",
};
// Script ids the runtime reaches by position.
struct fixed_id {
    const char* name;
    int32_t position;
};
constexpr fixed_id fixed_script_ids[] = {
    {"no-value", 2},       {"need-value", 3},  {"not-defined", 4}, {"not-in-context", 5},
    {"expect-arg", 7},     {"invalid-chars", 44}, {"bad-make-arg", 55}, {"bad-to-arg", 56},
};
constexpr int32_t max_ids = 100;  // an id is the code's last two digits

// Cells of the rooted holder block.
enum holder_cell : uint32_t { catalog_cell = 0, prototype_cell, last_cell, template_cell, holder_cells };
uint32_t holder = 0;  // node of the holder block
bool building = false;

kel_value* held(uint32_t i) { return reinterpret_cast<kel_value*>(memory::buffer_of(holder)->head_ptr()) + i; }

inline uint32_t canonical(const kel_value* w) { return symbol::resolve(word_symbol(w)); }
inline uint32_t canonical_of(const char* name) { return symbol::resolve(symbol::intern(name)); }

struct top_guard {
    kel_value* top = stack::top();
    ~top_guard() { stack::regs.top = top; }
};

uint32_t catalog_ctx() { return held(catalog_cell)->w1; }
// A category that a script replaced by a value that is no object has no
// context (0) and so no ids: its errors are made and formed as ones of an
// unknown id. (Standing the catalogue in for it would find the category words
// there as ids, and report a category object as the message.)
uint32_t category_ctx(int32_t category) {
    const kel_value* c = _context::values(catalog_ctx()) + category;
    return type_of(c) == types::object ? c->w1 : 0;
}

kel_value bound_word(uint32_t ctx, int32_t index) {
    kel_value w = *context_ops::word_at(ctx, index);
    w.header = types::word;
    w.w1 = ctx;
    w.w3 = static_cast<uint32_t>(index);
    return w;
}

// The category words bound to the catalogue, kept like the id words.
struct type_words_record {
    uint32_t catalog = 0;
    uint32_t cycle = 0;
    kel_value words[category_count];
};
type_words_record type_words;

kel_value type_word(int32_t category) {
    const uint32_t cat = catalog_ctx();
    type_words_record& t = type_words;
    if (t.catalog != cat || t.cycle != memory::root.collector_cycle) {
        for (int32_t k = 0; k < category_count; ++k) t.words[k] = bound_word(cat, k);
        t.catalog = cat;
        t.cycle = memory::root.collector_cycle;
    }
    return t.words[category];
}

// --- the ids `fire` names ---------------------------------------------------------------
// `fire` names its id by a C string (a literal at every call site) and raises
// the same few ids over and over (a try in a loop): the position found for a
// (string, category) pair is kept, so a repeated raise neither interns the
// name nor searches the category. A kept position is used only when the
// string still reads the same and the category's word at that position is
// still the id, so a catalogue replaced or extended at run time is simply
// looked up again. Ids the catalogue lacks are not kept.
// The id word bound to its category is kept too, for as long as the category
// object it names is the catalogue's and no collection has run (a node id is
// only known to name the same context within one collector cycle).
struct id_entry {
    const char* name = nullptr;  // the pointer fire was given
    int32_t category = -1;
    int32_t index = -1;          // the id's position in its category object
    uint32_t symbol = 0;         // the id's canonical symbol
    char text[32] = {};          // the name as it read then
    uint32_t context = 0;        // the category context `word` is bound to
    uint32_t cycle = 0;          // the collector cycle it was bound in
    kel_value word{types::unset, 0, 0, 0};
};
constexpr uint32_t id_cache_size = 64;
id_entry id_cache[id_cache_size];

id_entry& id_slot(const char* name, int32_t category) {
    const auto p = reinterpret_cast<uintptr_t>(name);
    return id_cache[((p >> 3) ^ (p >> 11) ^ static_cast<uintptr_t>(category) * 7u) & (id_cache_size - 1)];
}

// --- building the catalogue from its source -------------------------------------------

// A new object (pushed) from a block of `name: value` pairs, where a value
// written `object [...]` is a nested object built the same way.
kel_value* build_object(const kel_value* spec, uint32_t class_id, uint32_t nested_class) {
    kel_value* result = stack::push_unset();
    object::init_cell(result, 16);
    result->w2 = class_id;
    const kel_value s = *spec;
    const int32_t n = block::ks_length_q(&s);
    const uint32_t object_symbol = canonical_of("object");
    for (int32_t i = 0; i < n; ++i) {
        const kel_value w = *block::ks_abs_at(&s, series_head(&s) + i);
        if (type_of(&w) != types::set_word) catalog::boot_stop("the error catalogue holds a value where a field name belongs");
        const int32_t index = _context::index_or_add_word(result->w1, &w);
        int32_t j = i + 1;
        while (j < n && type_of(block::ks_abs_at(&s, series_head(&s) + j)) == types::set_word) ++j;
        kel_value v = j < n ? *block::ks_abs_at(&s, series_head(&s) + j) : *none::value;
        if (type_of(&v) == types::word && canonical(&v) == object_symbol && j + 1 < n &&
            type_of(block::ks_abs_at(&s, series_head(&s) + j + 1)) == types::block) {
            const kel_value body = *block::ks_abs_at(&s, series_head(&s) + j + 1);
            kel_value* nested = build_object(&body, nested_class, nested_class);
            v = *nested;
            stack::drop_cells(1);
            ++j;
        }
        clear_new_line(&v);
        _context::values(result->w1)[index] = v;
        i = j;
    }
    object::copy_to_self(result);
    return result;
}

// A new prototype (pushed): an object with the ten fields, all none.
kel_value* build_prototype() {
    kel_value* result = stack::push_unset();
    object::init_cell(result, field::count);
    result->w2 = object::boot_class_id("standard/error");
    for (const char* name : field_names) {
        kel_value w;
        word::init_cell(symbol::intern(name), &w);
        _context::put(result->w1, &w, none::value);
    }
    object::copy_to_self(result);
    return result;
}

const char* check_prototype(const kel_value* p) {
    if (type_of(p) != types::object) return "system/standard/error is not an object";
    const uint32_t ctx = p->w1;
    if (_context::length(ctx) < field::count) return "system/standard/error lacks fields";
    for (int32_t i = 0; i < field::count; ++i)
        if (canonical(context_ops::word_at(ctx, i)) != canonical_of(field_names[i]))
            return "system/standard/error has a field out of its fixed order";
    return nullptr;
}

// --- making -----------------------------------------------------------------------------

// --- the template ------------------------------------------------------------------
// A new error is a copy of the prototype, made as an error!; the runtime
// makes one per raise, so the prototype is duplicated once into a template
// error! (held in the holder) and each error is a plain copy of the
// template's context. The template stands for the prototype only while the
// prototype is the one it was made from, unchanged: the same object cell,
// the same number of words (words are only ever added) and the same values,
// compared with a snapshot at each use. A prototype holding a function (which
// a duplicate rebinds) or more fields than the snapshot keeps is duplicated
// each time as before.
struct template_record {
    kel_value proto{types::unset, 0, 0, 0};
    int32_t length = -1;
    bool usable = false;
    kel_value values[16];
};
template_record kept_template;

bool template_current(const kel_value& proto) {
    const template_record& t = kept_template;
    if (std::memcmp(&t.proto, &proto, sizeof proto) != 0 || _context::length(proto.w1) != t.length) return false;
    return std::memcmp(_context::values(proto.w1), t.values, static_cast<size_t>(t.length) * 16) == 0;
}

void refresh_template(const kel_value& proto) {
    template_record& t = kept_template;
    t.usable = false;
    t.proto = proto;
    t.length = _context::length(proto.w1);
    if (t.length > static_cast<int32_t>(std::size(t.values))) {
        t.length = -1;
        return;
    }
    const kel_value* v = _context::values(proto.w1);
    std::memcpy(t.values, v, static_cast<size_t>(t.length) * 16);
    for (int32_t i = 0; i < t.length; ++i)
        if (type_of(v + i) == types::function) return;
    kel_value* made = held(template_cell);
    object::duplicate(&proto, made, false, nullptr, false);
    made = held(template_cell);  // re-read: the duplicate allocated
    set_type(made, types::error);
    object::copy_to_self(made);
    t.usable = true;
}

// A new error's context: the template's word table shared (the template is
// never changed, and a shared table is copied by the context code before
// anything would change it through one error), its values copied. Two
// buffers per error instead of six: a raise in a loop makes and sweeps
// little. A template whose table is not a plain word table is copied whole.
uint32_t clone_context(uint32_t source) {
    const uint32_t source_table = _context::word_table(source);
    if (hashtable::header_of(source_table)->kind != hashtable::kinds::words) return _context::copy_as_is(source);
    const uint32_t values = memory::copy_buffer(memory::buffer_of(_context::cell(source)->w2));
    return _context::share_words(source, values);
}

// result becomes a copy of the prototype, as an error!.
void new_from_prototype(kel_value* result) {
    const kel_value proto = *held(prototype_cell);
    if (!template_current(proto)) refresh_template(proto);
    if (kept_template.usable) {
        const uint32_t ctx = clone_context(held(template_cell)->w1);
        *result = *held(template_cell);
        result->w1 = ctx;
        object::copy_to_self(result);
        return;
    }
    object::duplicate(&proto, result, false, nullptr, false);
    set_type(result, types::error);
    object::copy_to_self(result);
}

// result becomes a fresh error of (category, id); id -1 keeps `id_word`. A
// given `bound_id` is the id word already bound to its category.
void make_from(kel_value* result, int32_t category, int32_t id, const kel_value* id_word = nullptr,
               const kel_value* bound_id = nullptr) {
    new_from_prototype(result);
    const uint32_t ctx = result->w1;
    kel_value* v = _context::values(ctx);
    set_integer(v + field::code, category * 100 + (id > 0 ? id : 0));
    v[field::type] = type_word(category);
    v[field::id] = id < 0 ? *id_word : bound_id ? *bound_id : bound_word(category_ctx(category), id);
    if (current_position) {
        kel_value near;
        set_none(&near);
        current_position(&near);
        _context::values(ctx)[field::near] = near;
    }
}

// The category and id of a block or built error, checked as `make error!` does.
void checked_ids(const kel_value* type, const kel_value* id, int32_t* category, int32_t* index) {
    const kel_value t = *type;
    const kel_value i = *id;
    *category = in_family(type_of(&t), family::word) ? category_of(&t) : -1;
    if (*category < 0) fire(error_category::script, "invalid-spec-field", error_arg::named("type"));
    if (!in_family(type_of(&i), family::word)) fire(error_category::script, "invalid-arg", &i);
    *index = id_in(*category, &i);
    if (*index < 0) fire(error_category::script, "invalid-spec-field", error_arg::named("id"));
}

// Appends a value formed or molded, cut to `limit` characters; answers the
// characters appended.
int32_t append_limited(const kel_value* value, kel_value* buffer, int32_t limit, bool mold, bool only, bool flat) {
    const uint32_t before = memory::buffer_of(series_node(buffer))->units();
    kel_value limit_cell;
    set_integer(&limit_cell, limit);
    if (mold) (void)actions::mold_value(value, buffer, only, false, flat, &limit_cell, limit, 0);
    else (void)actions::form_value(value, buffer, &limit_cell, limit);
    memory::buffer_header* h = memory::buffer_of(series_node(buffer));
    if (h->units() > before + static_cast<uint32_t>(limit))
        h->tail = h->head + ((before + static_cast<uint32_t>(limit)) << h->shift());
    return static_cast<int32_t>(h->units() - before);
}

int32_t append_text(kel_value* buffer, std::string_view text) {
    text_out::append(buffer, text);
    return static_cast<int32_t>(text.size());
}

// An argument or `near` of the report, or its type name in parentheses when it
// cannot be formed (a type with no form handler, a failing mold): the report
// must never be lost to one of its parts.
int32_t append_part(const kel_value* value, kel_value* buffer, int32_t limit, bool mold) {
    const kel_value held_value = *value;
    const uint32_t before = memory::buffer_of(series_node(buffer))->units();
    kel_value* const entry = stack::top();
    const error_trap trap = open_error_trap();
    try {
        const int32_t n = append_limited(&held_value, buffer, limit, mold, false, false);
        close_error_trap(trap, false);
        return n;
    } catch (const kel_unwind& u) {
        close_error_trap(trap, u.code == code_value(signal_code::error));
        stack::regs.top = entry;
    }
    memory::buffer_header* h = memory::buffer_of(series_node(buffer));
    if (h->units() > before) h->tail = h->head + (before << h->shift());
    const char* name = registry::type_name(type_of(&held_value));
    return append_text(buffer, "(") + append_text(buffer, *name ? name : "value") + append_text(buffer, ")");
}

}  // namespace

// --- the catalogue ----------------------------------------------------------------------

const char* catalog_source() { return catalog_text; }

bool ready() { return holder != 0 && type_of(held(catalog_cell)) == types::object; }

const kel_value* catalog() { return held(catalog_cell); }
const kel_value* prototype() { return held(prototype_cell); }

const char* check_catalog(const kel_value* c) {
    if (type_of(c) != types::object) return "the error catalogue is not an object";
    const uint32_t ctx = c->w1;
    if (_context::length(ctx) != category_count) return "the error catalogue does not hold the ten categories";
    for (int32_t k = 0; k < category_count; ++k) {
        if (canonical(context_ops::word_at(ctx, k)) != canonical_of(category_names[k]))
            return "an error category is out of its fixed order";
        const kel_value* cat = _context::values(ctx) + k;
        if (type_of(cat) != types::object) return "an error category is not an object";
        const uint32_t cc = cat->w1;
        const int32_t n = _context::length(cc);
        if (n < 2 || n > max_ids) return "an error category has no room for its code and type, or too many ids";
        if (canonical(context_ops::word_at(cc, 0)) != canonical_of("code") ||
            canonical(context_ops::word_at(cc, 1)) != canonical_of("type"))
            return "an error category does not begin with code and type";
        const kel_value* v = _context::values(cc);
        if (type_of(v) != types::integer || get_integer(v) != k * 100) return "an error category has a wrong code";
        if (type_of(v + 1) != types::string) return "an error category's type is not a string";
        for (int32_t i = 2; i < n; ++i)
            if (type_of(v + i) != types::string && type_of(v + i) != types::block)
                return "an error message is neither a string nor a block";
    }
    const uint32_t script = _context::values(ctx)[3].w1;
    for (const fixed_id& f : fixed_script_ids) {
        if (f.position >= _context::length(script) ||
            canonical(context_ops::word_at(script, f.position)) != canonical_of(f.name))
            return "a script error the runtime reaches by position is out of its place";
    }
    return nullptr;
}

void use_catalog(const kel_value* c) {
    if (const char* fault = check_catalog(c)) catalog::boot_stop(fault);
    *held(catalog_cell) = *c;
}

void use_prototype(const kel_value* p) {
    if (const char* fault = check_prototype(p)) catalog::boot_stop(fault);
    *held(prototype_cell) = *p;
}

void load_catalog(const char* source) {
    if (holder) return;
    catalog_text = source;
    {
        kel_value* h = block::make_at_tail(nullptr, holder_cells);
        holder = series_node(h);
        for (uint32_t i = 0; i < holder_cells; ++i) block::ks_add(h, unset::value);
    }
    top_guard guard;
    if (!catalog::read) catalog::boot_stop("no reader for the error catalogue (the lexer starts first)");
    const kel_value body = *catalog::read(source, std::strlen(source));
    const kel_value* built =
        build_object(&body, object::boot_class_id("catalog/errors"), object::boot_class_id("error-category"));
    use_catalog(built);
    use_prototype(build_prototype());
    stack::errors::hooks.annotate = annotate;
}

int32_t category_of(const kel_value* word) {
    if (!ready() || !in_family(type_of(word), family::word)) return -1;
    const int32_t i = _context::index_of(catalog_ctx(), word_symbol(word), true);
    return i < category_count ? i : -1;
}

int32_t id_in(int32_t category, const kel_value* word) {
    if (!ready() || category < 0 || category >= category_count || !in_family(type_of(word), family::word)) return -1;
    const uint32_t cc = category_ctx(category);
    if (!cc) return -1;
    const int32_t i = _context::index_of(cc, word_symbol(word), true);
    return i >= 2 ? i : -1;
}

int32_t category_size(int32_t category) {
    if (!ready() || category < 0 || category >= category_count) return 0;
    const uint32_t cc = category_ctx(category);
    return cc ? _context::length(cc) : 0;
}

// --- making -------------------------------------------------------------------------------

kel_value* build(const kel_value* category, const kel_value* id, const kel_value* a1, const kel_value* a2,
                 const kel_value* a3) {
    const kel_value args[3] = {a1 ? *a1 : *unset::value, a2 ? *a2 : *unset::value, a3 ? *a3 : *unset::value};
    const bool given[3] = {a1 != nullptr, a2 != nullptr, a3 != nullptr};
    int32_t c, i;
    checked_ids(category, id, &c, &i);
    kel_value* result = stack::push_unset();
    make_from(result, c, i);
    for (int k = 0; k < 3; ++k)
        if (given[k]) _context::values(result->w1)[field::arg1 + k] = args[k];
    return result;
}

signal_code make(kel_value* result, const kel_value* spec) {
    const kel_value s = *spec;
    switch (type_of(&s)) {
        case types::integer: {
            const int32_t code = get_integer(&s);
            const int32_t category = code / 100;
            const int32_t id = code % 100;
            // Ids 0 and 1 are the category's code and type fields, not errors.
            if (code < 0 || category >= category_count || id < 2 || id >= category_size(category))
                fire(error_category::script, "out-of-range", &s);
            make_from(result, category, id);
            return signal_code::none;
        }
        case types::block: {
            const int32_t n = block::ks_length_q(&s);
            const kel_value first = n > 0 ? *block::ks_abs_at(&s, series_head(&s)) : *none::value;
            if (type_of(&first) == types::word) {
                const kel_value second = n > 1 ? *block::ks_abs_at(&s, series_head(&s) + 1) : *none::value;
                int32_t c, i;
                checked_ids(&first, &second, &c, &i);
                make_from(result, c, i);
                return signal_code::none;
            }
            if (type_of(&first) != types::set_word) fire(error_category::internal, "invalid-error", &first);
            const kel_value proto = *held(prototype_cell);
            object::duplicate(&proto, result, false, nullptr, false);
            set_type(result, types::error);
            object::copy_to_self(result);
            if (current_position) current_position(_context::values(result->w1) + field::near);
            kel_value* mark = stack::top();
            kel_value* body = stack::push_copy(&s);
            _context::bind_block(body, result->w1, true);
            if (!object::eval_block) fire(error_category::internal, "not-done");
            KEL_PROPAGATE(object::eval_block(body));
            stack::regs.top = mark;
            const uint32_t ctx = result->w1;
            int32_t c, i;
            checked_ids(_context::values(ctx) + field::type, _context::values(ctx) + field::id, &c, &i);
            kel_value* v = _context::values(ctx);
            set_integer(v + field::code, c * 100 + i);
            v[field::type] = bound_word(catalog_ctx(), c);
            v[field::id] = bound_word(category_ctx(c), i);
            object::clear_changed(ctx);
            return signal_code::none;
        }
        case types::string: {
            kel_value user;
            word::init_cell(symbol::intern("user"), &user);
            kel_value message;
            word::init_cell(symbol::intern("message"), &message);
            int32_t c, i;
            checked_ids(&user, &message, &c, &i);
            make_from(result, c, i);
            _context::values(result->w1)[field::arg1] = s;
            return signal_code::none;
        }
        default: {
            kel_value datatype;
            set_datatype(&datatype, types::error);
            fire(error_category::script, "bad-make-arg", &datatype, &s);
        }
    }
}

namespace {

// The kept position of a fired id in its category, or -1; its bound word
// into *word.
int32_t known_id(int32_t category, const char* name, kel_value* word) {
    id_entry& e = id_slot(name, category);
    if (e.name != name || e.category != category || std::strcmp(e.text, name) != 0) return -1;
    const uint32_t cc = category_ctx(category);
    if (!cc) return -1;
    if (e.context != cc || e.cycle != memory::root.collector_cycle) {
        if (e.index >= _context::length(cc) || canonical(context_ops::word_at(cc, e.index)) != e.symbol) return -1;
        e.word = bound_word(cc, e.index);
        e.context = cc;
        e.cycle = memory::root.collector_cycle;
    }
    *word = e.word;
    return e.index;
}

void keep_id(int32_t category, const char* name, int32_t index) {
    const size_t length = std::strlen(name);
    if (index < 0 || length >= sizeof(id_entry::text)) return;
    id_entry& e = id_slot(name, category);
    e.name = name;
    e.category = category;
    e.index = index;
    e.symbol = canonical(context_ops::word_at(category_ctx(category), index));
    e.context = 0;
    std::memcpy(e.text, name, length + 1);
}

}  // namespace

const kel_value* from_fire(error_category category, const char* id, const error_arg* args, int count) {
    if (!ready() || building || !stack::ready()) return nullptr;
    building = true;
    struct reset {
        ~reset() { building = false; }
    } done;
    try {
        top_guard guard;
        const int32_t c = static_cast<int32_t>(category);
        kel_value id_word, kept;
        set_unset(&id_word);
        int32_t i = known_id(c, id, &kept);
        const bool known = i >= 0;
        if (!known) {
            word::init_cell(symbol::intern(id), &id_word);
            i = id_in(c, &id_word);
            keep_id(c, id, i);
        }
        kel_value* result = stack::push_unset();
        make_from(result, c, i, &id_word, known ? &kept : nullptr);
        for (int k = 0; k < count && k < 3; ++k) {
            kel_value a;
            if (args[k].cell) {
                a = *args[k].cell;
            } else if (args[k].word) {
                const char* name = args[k].word;
                if (name[0] == '/') a = kel_value{types::refinement, 0, symbol::intern(name + 1), 0xFFFFFFFFu};
                else word::init_cell(symbol::intern(name), &a);
            } else {
                continue;
            }
            _context::values(result->w1)[field::arg1 + k] = a;
        }
        *held(last_cell) = *result;
        return held(last_cell);
    } catch (const kel_unwind&) {
        return nullptr;
    }
}

const kel_value* last() { return holder ? held(last_cell) : unset::value; }

// --- annotation -------------------------------------------------------------------------------

kel_value* field_at(const kel_value* e, int32_t index) { return _context::values(e->w1) + index; }

void fill_where(kel_value* e, const kel_value* where) {
    kel_value* w = field_at(e, field::where);
    if (none_q(w)) *w = *where;
}

void annotate(kel_value* e, const kel_value* where, int32_t mark_depth) {
    // fire's bare cell (before the catalogue, or when building failed) has no context.
    if (!object::object_type_q(type_of(e)) || !memory::node_live_q(e->w1)) return;
    fill_where(e, where);
    kel_value* s = field_at(e, field::stack);
    if (type_of(s) != types::block) set_integer(s, mark_depth);
}

void call_argument_word(int32_t n, kel_value* out) {
    set_none(out);
    const stack::call_mark* m = stack::innermost_frame();
    if (!m || m->symbol == 0 || n < 1) return;
    const kel_value* f = _context::symbol_value(m->symbol, m->word_context ? m->word_context : _context::global());
    if (!f) return;
    const uint32_t t = type_of(f);
    if (t != types::native && t != types::action && t != types::op && t != types::function) return;
    if (!f->w2) return;
    memory::buffer_header* h = memory::buffer_of(f->w2);
    const auto* c = reinterpret_cast<const kel_value*>(h->head_ptr());
    for (uint32_t i = 0; i < h->used() / 16; ++i) {
        const uint32_t ct = type_of(c + i);
        if (ct != types::word && ct != types::lit_word && ct != types::get_word && ct != types::refinement) continue;
        if (--n == 0) {
            *out = c[i];
            return;
        }
    }
}

void build_stack_trace(kel_value* e) {
    if (bare_q(e) || type_of(field_at(e, field::stack)) != types::integer) return;
    const int32_t depth = get_integer(field_at(e, field::stack));
    int32_t level = trace_level ? trace_level() : 0;
    if (level <= 0) level = 1;
    kel_value* calls = stack::push_unset();
    if (list_callers) list_callers(calls, depth, level);
    else block::init_cell(calls, 1);
    *field_at(e, field::stack) = *calls;
    kel_value* files = stack::push_unset();
    set_none(files);
    if (trace_files) trace_files(files);
    *field_at(e, field::files) = *files;
    stack::drop_cells(2);
}

bool bare_q(const kel_value* e) { return !memory::node_live_q(e->w1); }

uint32_t type_symbol(const kel_value* e) {
    if (bare_q(e)) return 0;
    const kel_value* t = field_at(e, field::type);
    return in_family(type_of(t), family::word) ? word_symbol(t) : 0;
}

uint32_t id_symbol(const kel_value* e) {
    if (bare_q(e)) return 0;
    const kel_value* t = field_at(e, field::id);
    return in_family(type_of(t), family::word) ? word_symbol(t) : 0;
}

// --- the datatype ---------------------------------------------------------------------------------

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const kel_value e = *value;
    if (!ready() || bare_q(&e)) return part - append_text(buffer, "*** error");
    const uint32_t ctx = e.w1;
    int32_t category = category_of(_context::values(ctx) + field::type);
    int32_t id = id_in(category, _context::values(ctx) + field::id);
    if (category < 0 || id < 0) {
        category = static_cast<int32_t>(error_category::internal);
        kel_value w;
        word::init_cell(symbol::intern("invalid-error"), &w);
        id = id_in(category, &w);
    }
    const uint32_t cc = category_ctx(category);
    part -= append_text(buffer, "*** ");
    // With the internal category replaced too there is no text to report with.
    if (!cc || id < 0) {
        part -= append_text(buffer, "error");
    } else {
        const kel_value title = _context::values(cc)[1];
        part -= append_limited(&title, buffer, 0x7FFFFFF, false, false, false);
        part -= append_text(buffer, ": ");
        const kel_value message = _context::values(cc)[id];
        if (type_of(&message) == types::block) {
            const bool formed = category == static_cast<int32_t>(error_category::syntax);
            const int32_t n = block::ks_length_q(&message);
            for (int32_t i = 0; i < n; ++i) {
                if (i > 0) part -= append_text(buffer, " ");
                const kel_value item = *block::ks_abs_at(&message, series_head(&message) + i);
                const uint32_t t = type_of(&item);
                if (t == types::word || t == types::get_word) {
                    const int32_t f = _context::index_of(ctx, word_symbol(&item), true);
                    const kel_value v = f >= 0 ? _context::values(ctx)[f] : *none::value;
                    part -= append_part(&v, buffer, 80, !formed);
                } else {
                    part -= append_limited(&item, buffer, 0x7FFFFFF, false, false, false);
                }
            }
        } else {
            part -= append_limited(&message, buffer, 0x7FFFFFF, false, false, false);
        }
    }
    part -= append_text(buffer, "\n*** Where: ");
    const kel_value where = _context::values(ctx)[field::where];
    if (in_family(type_of(&where), family::word) || type_of(&where) == types::string)
        part -= append_limited(&where, buffer, 0x7FFFFFF, false, false, false);
    else
        part -= append_text(buffer, "???");
    part -= append_text(buffer, "\n*** Near : ");
    const kel_value near = _context::values(ctx)[field::near];
    part -= append_part(&near, buffer, 40, true);
    const int32_t level = trace_level ? trace_level() : 0;
    if (level > 0) {
        const kel_value s = _context::values(ctx)[field::stack];
        if (type_of(&s) == types::integer) {
            part -= append_text(buffer, "\n*** Stack: ");
            if (form_callers) form_callers(buffer, get_integer(&s), level);
        } else if (type_of(&s) == types::block) {
            part -= append_text(buffer, "\n*** Stack: ");
            part -= append_limited(&s, buffer, 0x7FFFFFF, false, false, false);
        }
    }
    const kel_value files = _context::values(ctx)[field::files];
    if (type_of(&files) == types::block) {
        part -= append_text(buffer, "\n*** Files: ");
        part -= append_limited(&files, buffer, 40, true, true, true);
    }
    return part;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent) {
    if (cycles::find_q(value->w1)) return part - append_text(buffer, "...");
    if (bare_q(value)) return part - append_text(buffer, only ? "" : "make error! []");
    if (!only) part -= append_text(buffer, "make error! [");
    part = object::mold_fields(value, buffer, only, all, flat, arg, part, true, indent + 1, true);
    if (!flat && indent > 0 && object::word_count(value) > 0) part = mold::indent(buffer, indent, part);
    if (only) return part;
    return part - append_text(buffer, "]");
}

signal_code eval_path(const path_step_args& step) {
    if (bare_q(step.parent))
        fire(error_category::script, "invalid-path", step.path ? step.path : none::value, step.element);
    const uint32_t t = type_of(step.element);
    if (in_family(t, family::word) && canonical(step.element) == canonical_of("stack"))
        fire(error_category::script, "invalid-path-set", step.path ? step.path : none::value);
    return object::eval_path(step);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::error) return cmp::not_comparable;
    if (bare_q(value) || bare_q(other)) {
        if (!cmp::equality_op(op)) return cmp::not_comparable;
        return value->w1 == other->w1 && value->w2 == other->w2 ? 0 : 1;
    }
    return object::compare_contexts(value, other, op);
}

namespace {
signal_code a_make(const refinements&) {
    kel_value* result = stack::push_unset();
    KEL_PROPAGATE(make(result, stack::argument(2)));
    stack::set_last_only(result);
    return signal_code::none;
}
}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::error;
    r.hash = hashtable::hash_by::w1;
    r.marker = kel::collector::cell_markers::object;
    r.families = family::object;
    r.parent = types::object;
    r.name = "error!";
    r[act::make] = a_make;
    r[act::reflect] = registry::entry::inherit();
    r[act::form] = form;
    r[act::mold] = mold;
    r[act::path_step] = eval_path;
    r[act::compare] = compare;
    r[act::copy] = registry::entry::inherit();
    r[act::find] = registry::entry::inherit();
    r[act::select] = registry::entry::inherit();
    return r;
}

}  // namespace kel::error
