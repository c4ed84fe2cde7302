// email: the email! row and its `user` and `host` paths. See email.h.
#include "datatypes/email.h"

#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/tag.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"

namespace kel::email {

namespace {

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return string::form(value, buffer, arg, part);
}

// 1 for `user`, 2 for `host` (any letter case), else 0.
int part_of(const kel_value* word) {
    if (!in_family(type_of(word), family::word) || !scalar::hooks.word_spelling) return 0;
    const char* text = nullptr;
    size_t length = 0;
    if (!scalar::hooks.word_spelling(word, &text, &length) || length != 4) return 0;
    char lower[4];
    for (int i = 0; i < 4; ++i) lower[i] = static_cast<char>(text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]);
    if (std::memcmp(lower, "user", 4) == 0) return 1;
    if (std::memcmp(lower, "host", 4) == 0) return 2;
    return 0;
}

signal_code eval_path(const path_step_args& step) {
    if (type_of(step.element) == types::integer) return string::eval_path(step);
    const int which = part_of(step.element);
    // The path first, as every path step gives it: the catalogue text reads
    // "cannot access" element "in path" path.
    if (!which) fire(error_category::script, "invalid-path", step.path, step.element);
    kel_value email = *step.parent;
    const int32_t head = std::max(series_head(&email), 0);
    const int32_t end = head + string::ks_length_q(&email);
    const int32_t at = string::ks_index_of_char(&email, '@');
    const int32_t split = at < 0 ? end : head + at;
    if (!step.value_to_set) {
        const int32_t from = which == 1 ? head : (split < end ? split + 1 : end);
        const int32_t to = which == 1 ? split : end;
        kel_value* out = step.result;
        string::make_at_unit(out, static_cast<uint32_t>(to - from), string::buffer(&email)->unit());
        string::buffer_header* h = string::buffer(out);
        for (int32_t i = from; i < to; ++i) h = string::add_char(h, static_cast<uint32_t>(string::ks_abs_char_at(&email, i)));
        return signal_code::none;
    }
    const kel_value value = *step.value_to_set;
    if (which == 1) {
        set_series_head(&email, head);
        string::change(&email, &value, split - head, false, 1);
    } else if (at >= 0) {
        set_series_head(&email, split + 1);
        string::change(&email, &value, end - (split + 1), false, 1);
    } else {
        // No host yet: it is written after a new "@", the value first, as
        // it may be this email, which must not have the "@" yet.
        kel_value sign;
        set_char(&sign, '@');
        set_series_head(&email, end);
        string::change(&email, &value, 0, false, 1);
        set_series_head(&email, end);
        string::change(&email, &sign, 0, false, 1);
    }
    if (step.result) *step.result = value;
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::email;
    r.parent = types::string;
    r.name = "email!";
    r.hash = hashtable::hash_by::any_string;
    r.marker = collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.set_hash = registry::set_hash_rule::cased;
    r.inherit_all();
    tag::refuse_non_text_actions(r);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    return r;
}

}  // namespace kel::email
