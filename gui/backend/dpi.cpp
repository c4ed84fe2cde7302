// dpi: see dpi.h.
#include "gui/backend/dpi.h"

#include <cmath>
#include <iterator>

#include "datatypes/block.h"
#include "datatypes/symbol.h"

namespace kel::dpi {

namespace {

constexpr int32_t logical_dpi = 96;
int32_t dpi_now = logical_dpi;
int32_t scope_depth = 0;

struct flag_row {
    const char* word;
    uint32_t bit;
};
constexpr flag_row flag_rows[] = {
    {"all-over", 0x00000001u},   {"focusable", 0x00000002u}, {"tri-state", 0x00020000u},
    {"scrollable", 0x00040000u}, {"password", 0x00080000u},  {"no-sync", 0x00100000u},
    {"fullscreen", 0x00200000u}, {"popup", 0x01000000u},     {"modal", 0x02000000u},
    {"resize", 0x04000000u},     {"no-buttons", 0x08000000u}, {"no-max", 0x10000000u},
    {"no-min", 0x20000000u},     {"no-title", 0x40000000u},  {"no-border", 0x80000000u},
};

uint32_t bit_of(const kel_value* word) {
    if (type_of(word) != types::word) return 0;
    const uint32_t s = symbol::resolve(word_symbol(word));
    for (const flag_row& f : flag_rows)
        if (symbol::resolve(symbol::intern(f.word)) == s) return f.bit;
    return 0;
}

}  // namespace

int32_t current() { return dpi_now; }
double scale() { return static_cast<double>(dpi_now) / logical_dpi; }
void set(int32_t dpi) { dpi_now = dpi > 0 ? dpi : logical_dpi; }

int32_t to_pixels(double logical) {
    const double px = std::trunc(logical * scale() + 0.5);
    if (std::isnan(px)) return 0;
    if (!(px > -2147483648.0)) return INT32_MIN;
    if (!(px < 2147483647.0)) return INT32_MAX;
    return static_cast<int32_t>(px);
}

double to_logical(int32_t pixels) { return pixels / scale(); }

int32_t enter(int32_t window_dpi) {
    const int32_t saved = dpi_now;
    ++scope_depth;
    if (window_dpi > 0) dpi_now = window_dpi;
    return saved;
}

void leave(int32_t saved) {
    if (scope_depth > 0) --scope_depth;
    set(saved);
}

int32_t depth() { return scope_depth; }

uint32_t face_flags(const kel_value* flags) {
    if (type_of(flags) == types::word) return bit_of(flags);
    if (type_of(flags) != types::block) return 0;
    uint32_t mask = 0;
    const int32_t head = series_head(flags);
    const int32_t n = block::ks_length_q(flags);
    for (int32_t i = 0; i < n; ++i) mask |= bit_of(block::ks_abs_at(flags, head + i));
    return mask;
}

}  // namespace kel::dpi
