// triple: form and mold of triple!. See triple.h.
#include "datatypes/triple.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include "kernel/native_api.h"
#include "kernel/number_text.h"

namespace kel::triple {

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    text_out::append(buffer, "make triple! [", 14);
    part -= 14;
    const uint32_t words[3] = {value->w1, value->w2, value->w3};
    for (int i = 0; i < 3; ++i) {
        const short_text t = integer::decimal_text(static_cast<int32_t>(words[i]));
        text_out::append(buffer, t.chars, t.length);
        text_out::append(buffer, i < 2 ? " " : "]", 1);
        part -= static_cast<int32_t>(t.length) + 1;
    }
    return part;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

registry::registration row() {
    registry::registration r;
    r.id = types::triple;
    r.hash = hashtable::hash_by::words_1_3;
    r.marker = kel::collector::cell_markers::nothing;
    r.parent = 0;
    r.name = "triple!";
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    return r;
}

}  // namespace kel::triple
