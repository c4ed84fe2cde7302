// registry: installing rows and the fixed registration order. Datatype modules
// describe their own rows (`datatype::row`, `series::row` ...); the list of
// those providers belongs to the composition root (app/), which hands it to
// `register_all`, so the kernel includes no datatype. A type with no provider
// gets a bare row here (name and parent only).
#include "kernel/registry.h"

#include <cstring>
#include <string>
#include <unistd.h>

#include "kernel/collector.h"
#include "kernel/fatal.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/print.h"

namespace kel {
uint16_t type_families[256];
}

namespace kel::registry {

slot action_table[types::table_rows * act::row_stride];
type_name_entry type_names[types::table_rows];
uint32_t highest_type_id = 0;
uint8_t parent_ids[types::table_rows];
hash_fn hashers[types::table_rows];
set_hash_rule set_hash_rules[256];

namespace {

bool registered[types::table_rows];

// A diagnostic, so it goes to stderr like the fatal report that follows it.
[[noreturn]] void registration_error(const char* what, uint32_t type) {
    std::string line = std::string("*** Datatype Error: ") + what + " for type: " + std::to_string(type) + "\n";
    std_output::flush();
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
    fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
}

// The form each slot needs.
entry_kind kind_for_action(int action) {
    switch (action) {
        case act::form: return entry_kind::form;
        case act::mold: return entry_kind::mold;
        case act::path_step: return entry_kind::path;
        case act::compare: return entry_kind::compare;
        case act::unused8: return entry_kind::unsupported;
        default: return entry_kind::stack;
    }
}

// --- provisional rows ------------------------------------------------------
// Names and parents of every datatype, for the rows whose module is not
// written yet.
namespace by = hashtable::hash_by;
namespace mk = collector::cell_markers;
struct known_type {
    uint8_t id;
    uint8_t parent;
    const char* name;
    hash_fn hash;
    marker_fn marker;
    uint16_t families;
    set_hash_rule set_hash = set_hash_rule::type_only;
};
namespace fam = family;
constexpr uint16_t text = fam::string_like | fam::series;
constexpr uint16_t cells = fam::block_like | fam::series;
constexpr known_type known_types[] = {
    {1, 0, "datatype!", by::w1, mk::nothing, 0}, {2, 0, "unset!", by::unset, mk::nothing, 0},
    {3, 0, "none!", by::none, mk::nothing, 0}, {4, 0, "logic!", by::w1, mk::nothing, 0},
    {5, 42, "block!", by::words_1_2, mk::any_block, cells | fam::list}, {6, 5, "paren!", by::words_1_2, mk::any_block, cells | fam::list},
    {7, 42, "string!", by::any_string, mk::any_string, text}, {8, 9, "file!", by::any_string, mk::any_string, text},
    {9, 7, "url!", by::any_string, mk::any_string, text}, {10, 11, "char!", by::w2, mk::nothing, fam::scalar},
    {11, 0, "integer!", by::w2, mk::nothing, fam::scalar | fam::number}, {12, 0, "float!", by::float64, mk::nothing, fam::scalar | fam::number},
    {13, 0, "symbol!", by::spelling, mk::symbol, 0}, {14, 0, "context!", by::zero, mk::context_cell, 0},
    {21, 0, "native!", by::w3, mk::native, fam::function}, {22, 21, "action!", by::w3, mk::native, fam::function},
    {23, 21, "op!", by::words_1_3, mk::native, fam::function}, {24, 14, "function!", by::words_1_3, mk::function, fam::function},
    {25, 5, "path!", by::words_1_2, mk::any_block, cells | fam::path}, {26, 25, "lit-path!", by::words_1_2, mk::any_block, cells | fam::path},
    {27, 25, "set-path!", by::words_1_2, mk::any_block, cells | fam::path}, {28, 25, "get-path!", by::words_1_2, mk::any_block, cells | fam::path},
    {29, 24, "routine!", by::zero, mk::function, fam::function}, {30, 0, "bitset!", by::zero, mk::word2_node, 0},
    {31, 0, "triple!", by::words_1_3, mk::nothing, 0}, {32, 0, "object!", by::w1, mk::object, fam::object},
    {33, 0, "typeset!", by::words_1_3, mk::nothing, 0}, {34, 32, "error!", by::w1, mk::object, fam::object},
    {35, 7, "vector!", by::zero, mk::word2_node, fam::series}, {36, 5, "hash!", by::words_1_2, mk::hash_or_map, cells | fam::list},
    {37, 0, "pair!", by::words_2_3, mk::nothing, fam::scalar}, {38, 12, "percent!", by::float64, mk::nothing, fam::scalar | fam::number},
    {39, 0, "tuple!", by::tuple, mk::nothing, fam::scalar}, {40, 0, "map!", by::w2, mk::hash_or_map, 0},
    {41, 7, "binary!", by::bytes, mk::word2_node, fam::series}, {42, 0, "series!", by::zero, mk::nothing, 0},
    {43, 12, "time!", by::float64, mk::nothing, fam::scalar}, {44, 7, "tag!", by::any_string, mk::any_string, text, set_hash_rule::cased},
    {45, 7, "email!", by::any_string, mk::any_string, text, set_hash_rule::cased}, {46, 11, "handle!", by::w2, mk::handle, 0},
    {47, 0, "date!", by::words_1_3, mk::nothing, fam::scalar}, {48, 32, "port!", by::w1, mk::object, fam::object},
    {49, 0, "money!", by::whole_cell_signed, mk::nothing, fam::scalar}, {50, 7, "ref!", by::any_string, mk::any_string, text, set_hash_rule::cased},
    {51, 0, "point2D!", by::float32s, mk::nothing, fam::scalar | fam::point}, {52, 0, "point3D!", by::float32s, mk::nothing, fam::scalar | fam::point},
    {53, 42, "image!", by::words_1_2, mk::image, fam::series}, {54, 0, "event!", by::w2, mk::event, 0},
};

registration bare_row(uint32_t id) {
    registration r;
    for (const known_type& k : known_types)
        if (k.id == id) {
            r.id = k.id;
            r.parent = k.parent;
            r.name = k.name;
            r.hash = k.hash;
            r.marker = k.marker;
            r.families = k.families;
            r.set_hash = k.set_hash;
        }
    // A child takes what its parent has until its own module says otherwise;
    // handle! takes nothing from integer!.
    if (r.parent != 0 && id != types::handle) r.inherit_all();
    return r;
}

constexpr uint8_t order[] = {1,  2,  3,  4,  42, 5,  7,  41, 11, 13, 14, 15, 17, 16, 18, 19, 10, 21,
                             22, 23, 25, 26, 27, 28, 24, 29, 6,  20, 9,  8,  32, 30, 31, 12, 33, 34,
                             35, 40, 36, 37, 38, 39, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53};
static_assert(sizeof order == 53);

}  // namespace

void install(const registration& r) {
    const uint32_t t = r.id;
    if (t == 0 || t >= static_cast<uint32_t>(types::table_rows)) registration_error("invalid type id", t);
    if (registered[t]) registration_error("type registered twice", t);
    if (r.parent != 0 && (r.parent >= static_cast<uint32_t>(types::table_rows) || !registered[r.parent]))
        registration_error("parent not registered", t);
    if (!r.name || std::strlen(r.name) < 2 || r.name[std::strlen(r.name) - 1] != '!')
        registration_error("invalid name", t);
    if (!r.hash) registration_error("missing hash column", t);
    if (!r.marker) registration_error("missing marker column", t);
    // Validate the whole row before anything of it is stored.
    for (int a = 1; a <= act::count; ++a) {
        const entry& e = r.actions[static_cast<size_t>(a - 1)];
        if (e.kind == entry_kind::unsupported) continue;
        if (e.kind == entry_kind::inherit) {
            if (r.parent == 0) registration_error("inherited action without a parent", t);
            continue;
        }
        if (e.kind != kind_for_action(a) || e.fn.any == nullptr) registration_error("invalid action handler", t);
    }
    if (t > highest_type_id) highest_type_id = t;
    parent_ids[t] = static_cast<uint8_t>(r.parent);
    hashers[t] = r.hash;
    type_families[t] = r.families;
    set_hash_rules[t] = r.set_hash;
    collector::set_marker(t, r.marker == collector::cell_markers::nothing ? nullptr : r.marker);
    type_names[t].name = r.name;
    type_names[t].length = static_cast<int32_t>(std::strlen(r.name)) - 1;
    for (int a = 1; a <= act::count; ++a) {
        const entry& e = r.actions[static_cast<size_t>(a - 1)];
        slot& s = action_table[t * act::row_stride + static_cast<uint32_t>(a) - 1];
        if (e.kind == entry_kind::inherit)
            s = action_table[r.parent * act::row_stride + static_cast<uint32_t>(a) - 1];
        else if (e.kind == entry_kind::unsupported)
            s.any = nullptr;
        else
            s = e.fn;
    }
    registered[t] = true;
}

void register_all(const row_provider* providers, size_t count) {
    for (uint8_t id : order) {
        row_fn fn = nullptr;
        for (size_t i = 0; i < count; ++i)
            if (providers[i].id == id) fn = providers[i].row;
        install(fn ? fn() : bare_row(id));
    }
    // event! registers later, from the boot; its cells hash and keep their
    // block by its columns from the start.
    for (const known_type& k : known_types)
        if (!registered[k.id]) {
            hashers[k.id] = k.hash;
            type_families[k.id] = k.families;
            collector::set_marker(k.id, k.marker == collector::cell_markers::nothing ? nullptr : k.marker);
        }
}

uint32_t register_boot_types(row_fn event_row) {
    if (registered[types::event]) return 0;
    install(event_row ? event_row() : bare_row(types::event));
    return types::event;
}

const uint8_t* registration_order(int* count) {
    *count = static_cast<int>(sizeof order);
    return order;
}

bool registered_q(uint32_t type) { return type < static_cast<uint32_t>(types::table_rows) && registered[type]; }

const char* type_name(uint32_t type) {
    if (!registered_q(type)) return "";
    return type_names[type].name;
}

}  // namespace kel::registry
