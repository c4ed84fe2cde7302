// paren: the paren! datatype (id 6, parent block!), a block written between
// parentheses. The evaluator runs it in place; as data it is a block in every
// respect but its mold: it sorts, shuffles, searches and changes as a block
// does, forms as a block does (elements separated by spaces, no
// parentheses), and only trim is refused.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::paren {

// The cell becomes an empty paren! with room for `count` cells (below 1: 1).
kel_value* make_at(kel_value* cell, int32_t count);

// "(" and ")" around the cells molded as a block's are (new-line markers and
// indentation included); /only drops the parentheses. A paren met again
// inside itself molds as "(...)".
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();

}  // namespace kel::paren
