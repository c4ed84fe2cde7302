// kelbin_routines: see kelbin_routines.h.
#include "library/kelbin_routines.h"

#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "evaluator/routines.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "services/kelbin.h"
#include "services/simple_io.h"

namespace kel::kelbin_routines {

namespace {

using routines::machine_value;

machine_value answer(const kel_value* v) {
    *routines::result_slot() = *v;
    machine_value m;
    m.cell = nullptr;
    return m;
}

machine_value encode_star(const machine_value* a, int32_t) {
    kel_value* out = stack::push_unset();
    kelbin::encode(a[0].cell, a[1].i != 0, out);
    const kel_value result = *out;
    stack::drop_cells(1);
    return answer(&result);
}

// `read/binary` of a url: the HTTP service for http(s) urls; others have no
// reader here yet.
void read_url(const kel_value* url, kel_value* out) {
    if (!url::hooks.http_call || !string::starts_with_ascii_q(url, "http")) fire(error_category::internal, "not-done");
    kel_value* method = stack::push_copy(word::from_c_string("get"));
    const url::http_request q{method, url, nullptr, nullptr, true, false, false};
    if (!url::hooks.http_call(q, out)) fire(error_category::access, "no-connect", url, out);
}

machine_value decode(const machine_value* a, int32_t) {
    const int32_t depth = stack::depth();
    kel_value* payload = stack::push_copy(a[0].cell);
    kel_value* data = stack::push_copy(payload);
    if (type_of(payload) == types::file) simple_io::read_path(payload, nullptr, nullptr, true, false, data);
    if (type_of(payload) == types::url) read_url(payload, data);
    if (type_of(data) != types::binary) fire(error_category::script, "invalid-data", payload);
    memory::buffer_header* h = memory::buffer_of(series_node(data));
    const int64_t size = int64_t(h->used()) - series_head(data);
    if (size <= 10) fire(error_category::script, "invalid-data", payload);
    kel_value* target = block::push_only_star(1);
    {
        // The bytes stay where they are while values are made.
        collector::pin_guard pin(series_node(data));
        memory::buffer_header* b = memory::buffer_of(series_node(data));
        const auto* bytes = reinterpret_cast<const uint8_t*>(b->head_ptr()) + series_head(data);
        kelbin::decode(bytes, static_cast<size_t>(size), target, payload);
    }
    kel_value result = *target;
    if (block::ks_length_q(target) == 1) result = *block::ks_abs_at(target, 0);
    const kel_value keep = result;
    stack::regs.top = stack::bottom() + depth;
    return answer(&keep);
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "kelbin/encode*";
    e.spec = "data [any-type!] compact? [logic!]";
    e.fn = encode_star;
    routines::define(routine_numbers::kelbin, e);
    e.name = "kelbin/decode";
    e.spec = "payload [any-type!]";
    e.fn = decode;
    routines::define(routine_numbers::kelbin + 1, e);
    kelbin::native_filled = [](int32_t n) { return natives::at(n).fn != nullptr; };
}

}  // namespace kel::kelbin_routines
