// paren: see paren.h.
#include "datatypes/paren.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include "datatypes/block.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"

namespace kel::paren {

kel_value* make_at(kel_value* cell, int32_t count) {
    block::init_cell(cell, count < 1 ? 1 : count);
    set_type(cell, types::paren);
    return cell;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent) {
    // The guard is asked before the parenthesis: a paren that holds itself
    // writes its placeholder instead of recursing until the guard overflows.
    if (cycles::detect_q(value, buffer, &part, true)) return part;
    if (!only) {
        text_out::append(buffer, "(", 1);
        --part;
    }
    part = block::mold_cells(value, buffer, only, all, flat, arg, part, indent);
    if (!only) {
        text_out::append(buffer, ")", 1);
        --part;
    }
    return part;
}

registry::registration row() {
    registry::registration r;
    r.id = types::paren;
    r.hash = hashtable::hash_by::words_1_2;
    r.marker = kel::collector::cell_markers::any_block;
    r.families = family::block_like | family::list | family::series;
    r.parent = types::block;
    r.name = "paren!";
    r.inherit_all();
    using registry::entry;
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::unused8] = entry{};
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = entry{};
    r[act::trim] = entry{};
    for (int a = act::create; a <= act::write; ++a)
        if (a != act::modify) r[static_cast<act::id>(a)] = entry{};
    return r;
}

}  // namespace kel::paren
