// datatype: the datatype! type (id 1), whose values name a datatype by its id
// (word 1). Its row has form (the name without "!"), mold (the full name, or
// "#(name!)" in the /all form) and compare (equality only; ordering two
// datatypes is not comparable).
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::datatype {

registry::registration row();

// Appends a datatype! cell naming `type` at the block's tail; returns it.
kel_value* make_at_tail(const kel_value* block, uint32_t type);
// Pushes a datatype! cell naming `type` on the argument stack; returns it.
kel_value* push(uint32_t type);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

}  // namespace kel::datatype
