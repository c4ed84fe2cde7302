#include "datatypes/block.h"

#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::block {
namespace {
kel_value root_cell{};
}
kel_value* root() { return &root_cell; }
void init_root() {
    if (type_of(&root_cell) == types::block) return;
    set_series(&root_cell, types::block, 0, memory::new_heap_series(root_cells, 16, 0));
}
kel_value* ks_add(const kel_value* block, const kel_value* value) {
    kel_value copy = *value;
    kel_value* c = memory::claim_tail_cell(block);
    *c = copy;
    return c;
}
int32_t ks_length_q(const kel_value* block) {
    return static_cast<int32_t>(memory::buffer_of(series_node(block))->units()) - series_head(block);
}
kel_value* ks_head(kel_value* block) {
    memory::buffer_header* h = memory::buffer_of(series_node(block));
    int32_t units = static_cast<int32_t>(h->units());
    if (series_head(block) > units) set_series_head(block, units);
    return reinterpret_cast<kel_value*>(h->data() + h->head) + series_head(block);
}
kel_value* ks_abs_at(const kel_value* block, int32_t index) {
    memory::buffer_header* h = memory::buffer_of(series_node(block));
    return reinterpret_cast<kel_value*>(h->data() + h->head) + index;
}
kel_value* init_cell(kel_value* cell, int32_t count) {
    set_unset(cell);
    uint32_t node = memory::new_cells(count < 0 ? 1u : static_cast<uint32_t>(count));
    set_series(cell, types::block, 0, node);
    return cell;
}
kel_value* make_at_tail(const kel_value* parent, int32_t count) {
    const kel_value* p = parent ? parent : root();
    memory::claim_tail_cell(p);
    const int32_t index = static_cast<int32_t>(memory::buffer_of(series_node(p))->units()) - 1;
    uint32_t node = memory::new_cells(count < 0 ? 1u : static_cast<uint32_t>(count));
    // Found again by index: the allocation may have moved the parent's buffer.
    kel_value* c = ks_abs_at(p, index);
    set_series(c, types::block, 0, node);
    return c;
}
registry::registration provisional_row() {
    registry::registration r;
    r.id = types::block;
    r.parent = types::series;
    r.name = "block!";
    r.inherit_all();
    return r;
}
}  // namespace kel::block
