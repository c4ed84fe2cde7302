// views: see views.h.
#include "gui/backend/views.h"

#include <vector>

#include "kernel/slots.h"

namespace kel::views {

namespace {

struct row {
    int32_t slot;  // the face's slot in the slot table; 0: a free row
    int32_t root;
};
std::vector<row> rows;  // view n is rows[n - 1]

const row* row_of(int32_t view) {
    if (view < 1 || view > static_cast<int32_t>(rows.size())) return nullptr;
    const row& r = rows[static_cast<size_t>(view - 1)];
    return r.slot ? &r : nullptr;
}

}  // namespace

int32_t add(const kel_value* face, int32_t root) {
    const int32_t slot = slot_table::take(face);
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].slot == 0) {
            rows[i] = row{slot, root};
            return static_cast<int32_t>(i + 1);
        }
    rows.push_back(row{slot, root});
    return static_cast<int32_t>(rows.size());
}

void remove(int32_t view) {
    if (!row_of(view)) return;
    row& r = rows[static_cast<size_t>(view - 1)];
    slot_table::release(r.slot);
    r = row{0, 0};
}

void face_of(int32_t view, kel_value* out) {
    const row* r = row_of(view);
    const kel_value* face = r ? slot_table::cell_at(r->slot) : nullptr;
    if (face) *out = *face;
    else set_none(out);
}

int32_t window_of(int32_t view) {
    const row* r = row_of(view);
    if (!r) return 0;
    return r->root ? r->root : view;
}

void clear() {
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].slot) slot_table::release(rows[i].slot);
    rows.clear();
}

}  // namespace kel::views
