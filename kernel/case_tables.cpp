// case_map: the pair lists come from the generated data file; the two BMP
// tables are filled from them by the compiler, so nothing runs at start-up.
#include "kernel/case_tables.h"

#include <array>

namespace kel::case_map {
namespace {

#include "kernel/case_tables_data.inc"

using bmp_table = std::array<int32_t, 0x10000>;

consteval bmp_table build_table(const case_pair* pairs, size_t count) {
    bmp_table t{};
    for (size_t i = 0; i < count; ++i) t[pairs[i].from] = static_cast<int32_t>(pairs[i].to);
    return t;
}

constexpr bmp_table upper_table = build_table(upper_bmp, std::size(upper_bmp));
constexpr bmp_table lower_table = build_table(lower_bmp, std::size(lower_bmp));

consteval bool sorted_unique(const case_pair* pairs, size_t count) {
    for (size_t i = 1; i < count; ++i)
        if (pairs[i - 1].from >= pairs[i].from) return false;
    return true;
}
static_assert(sorted_unique(upper_bmp, std::size(upper_bmp)) && sorted_unique(lower_bmp, std::size(lower_bmp)) &&
              sorted_unique(upper_supp, std::size(upper_supp)) && sorted_unique(lower_supp, std::size(lower_supp)));
static_assert(upper_bmp[std::size(upper_bmp) - 1].from <= 0xFFFF && lower_bmp[std::size(lower_bmp) - 1].from <= 0xFFFF);
static_assert(upper_supp[0].from > 0xFFFF && lower_supp[0].from > 0xFFFF);

uint32_t walk(const case_pair* pairs, size_t count, uint32_t cp) {
    if (cp < pairs[0].from || cp > pairs[count - 1].from) return cp;
    for (size_t i = 0; i < count; ++i) {
        if (pairs[i].from > cp) break;
        if (pairs[i].from == cp) return pairs[i].to;
    }
    return cp;
}

}  // namespace

pair_list to_uppercase_bmp() { return {upper_bmp, std::size(upper_bmp)}; }
pair_list to_lowercase_bmp() { return {lower_bmp, std::size(lower_bmp)}; }
pair_list to_uppercase_supplementary() { return {upper_supp, std::size(upper_supp)}; }
pair_list to_lowercase_supplementary() { return {lower_supp, std::size(lower_supp)}; }

uint32_t convert_char(uint32_t cp, bool to_upper) {
    if (cp <= 0xFFFF) {
        int32_t e = to_upper ? upper_table[cp] : lower_table[cp];
        return e ? static_cast<uint32_t>(e) : cp;
    }
    return to_upper ? walk(upper_supp, std::size(upper_supp), cp) : walk(lower_supp, std::size(lower_supp), cp);
}

uint32_t swap_char(uint32_t cp) {
    uint32_t up = convert_char(cp, true);
    return up != cp ? up : convert_char(cp, false);
}

}  // namespace kel::case_map
