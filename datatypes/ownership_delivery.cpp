// ownership_delivery: see ownership_delivery.h.
#include "datatypes/ownership_delivery.h"

#include <cstring>

#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "datatypes/runtime_words.h"

namespace kel::ownership_delivery {

namespace {

struct vocabulary_entry {
    const char* name;
    const kel_value* word;
};

const vocabulary_entry vocabulary[] = {
    {"change", &words::_change},       {"changed", &words::_changed},     {"clear", &words::_clear},
    {"cleared", &words::_cleared},     {"append", &words::_append},       {"appended", &words::_appended},
    {"poke", &words::_poke},           {"poked", &words::_poked},         {"put", &words::_put},
    {"put-ed", &words::_put_ed},       {"random", &words::_random},       {"randomized", &words::_randomized},
    {"reverse", &words::_reverse},     {"reversed", &words::_reversed},   {"sort", &words::_sort},
    {"sorted", &words::_sorted},       {"swap", &words::_swap},           {"swaped", &words::_swaped},
    {"take", &words::_take},           {"taken", &words::_taken},         {"move", &words::_move},
    {"moved", &words::_moved},         {"trim", &words::_trim},           {"trimmed", &words::_trimmed},
    {"removed", &words::_removed},     {"inserted", &words::_inserted},   {"uppercase", &words::_uppercase},
    {"lowercase", &words::_lowercase}, {"set-path", &words::_set_path},
};

}  // namespace

kel_value action_word(const char* action) {
    for (const vocabulary_entry& e : vocabulary)
        if (std::strcmp(e.name, action) == 0 && type_of(e.word) == types::word) return *e.word;
    kel_value w;
    word::init_cell(symbol::intern(action), &w);
    return w;
}

void deliver(const kel_value* owner, const kel_value* word, const kel_value* target, const char* action,
             const kel_value* new_value, int32_t index, int32_t part) {
    const kel_value a = action_word(action);
    object::call_on_deep_change(owner, word, target, &a, new_value, index, part);
}

void each_field(const kel_value* o, field_visitor visit, void* context) { object::each_field(o, visit, context); }

}  // namespace kel::ownership_delivery
