// triple: the triple! datatype (id 31, no parent), a small internal value
// carrying three int32 in words 1, 2 and 3. Runtime code makes triples
// directly; the type has only form and mold ("make triple! [a b c]"), no
// make, to, comparison or arithmetic.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::triple {

inline void set(kel_value* v, int32_t a, int32_t b, int32_t c) {
    init_cell(v, types::triple);
    v->w1 = static_cast<uint32_t>(a);
    v->w2 = static_cast<uint32_t>(b);
    v->w3 = static_cast<uint32_t>(c);
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

registry::registration row();

}  // namespace kel::triple
