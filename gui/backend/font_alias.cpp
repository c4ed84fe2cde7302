// font_alias: see font_alias.h.
#include "gui/backend/font_alias.h"

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

bool same_ascii_fold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string_view font_family_alias(std::string_view family) {
    for (const alias_row& row : aliases)
        if (same_ascii_fold(row.name, family)) return row.family;
    return family;
}

}  // namespace kel::gui
