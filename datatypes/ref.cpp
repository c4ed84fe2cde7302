// ref: the ref! row. See ref.h.
#include "datatypes/ref.h"

#include "datatypes/string.h"
#include "datatypes/tag.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"

namespace kel::ref {

namespace {

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    text_out::append(buffer, "@", 1);
    return string::form(value, buffer, arg, part - 1);
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::ref;
    r.parent = types::string;
    r.name = "ref!";
    r.hash = hashtable::hash_by::any_string;
    r.marker = collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.set_hash = registry::set_hash_rule::cased;
    r.inherit_all();
    tag::refuse_non_text_actions(r);
    using registry::entry;
    r[act::path_step] = entry{};
    r[act::append] = entry{};
    r[act::put] = entry{};
    r[act::mold] = static_cast<mold_fn>(mold);
    return r;
}

}  // namespace kel::ref
