// tag: the tag! row. See tag.h.
#include "datatypes/tag.h"

#include "datatypes/string.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"

namespace kel::tag {

void refuse_non_text_actions(registry::registration& r) {
    using registry::entry;
    for (act::id a : {act::random, act::sort, act::trim, act::create, act::close, act::delete_, act::open,
                      act::open_q, act::query, act::read, act::rename, act::update, act::write})
        r[a] = entry{};
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = entry{};
}

namespace {

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part) {
    text_out::append(buffer, "<", 1);
    part = string::form(value, buffer, arg, part - 1);
    text_out::append(buffer, ">", 1);
    return part - 1;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::tag;
    r.parent = types::string;
    r.name = "tag!";
    r.hash = hashtable::hash_by::any_string;
    r.marker = collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.set_hash = registry::set_hash_rule::cased;
    r.inherit_all();
    refuse_non_text_actions(r);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    return r;
}

}  // namespace kel::tag
