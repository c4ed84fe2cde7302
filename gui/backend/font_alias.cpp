// font_alias: see font_alias.h.
#include "gui/backend/font_alias.h"

#include "kernel/fold.h"

namespace kel::gui {

namespace {

struct alias_row {
    std::string_view name;
    std::string_view family;
};

constexpr alias_row aliases[] = {
    {"Consolas", "monospace"},
    {"Courier New", "monospace"},
    {"Segoe UI", "sans-serif"},
    {"Tahoma", "sans-serif"},
    {"Times New Roman", "serif"},
};

// Family names compare as symbol names do: ASCII letters without case.
bool same_ascii_fold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold_name_byte(static_cast<uint8_t>(a[i])) != fold_name_byte(static_cast<uint8_t>(b[i]))) return false;
    return true;
}

}  // namespace

std::string_view font_family_alias(std::string_view family) {
    for (const alias_row& row : aliases)
        if (same_ascii_fold(row.name, family)) return row.family;
    return family;
}

}  // namespace kel::gui
