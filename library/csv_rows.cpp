// csv_rows: see csv_rows.h.
//
// The reader walks a private copy of the text's units (nothing it allocates
// can move them) and keeps the output block and the row being filled on the
// argument stack. The grammar it follows, for a delimiter D and quote Q:
//   text:   any [not [any eol end] line ahead [eol | end] (add the row) [eol | end]] any eol end
//   line:   value any [D value]
//   value:  Q any [some non-Q | Q Q] Q   (Q Q read as Q)  |  any unit that is neither D nor LF nor
//           a CR before an LF
//   eol:    CR LF | LF | CR
// A quoted value that is not closed is read as an unquoted one; a quoted one
// followed by anything but D or a line end stops the text.
#include "library/csv_rows.h"

#include <vector>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/string_api.h"
#include "evaluator/routines.h"
#include "kernel/actions.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::csv_rows {

namespace {

using routines::machine_value;

// Characters whose doubled quotes or matches could differ by case are left
// to the Kel rules: only ASCII characters that are no letters are taken.
bool caseless_q(uint32_t c) { return c < 0x80 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')); }

// The delimiter's code points (a char!, or a string! of them); empty when
// the compiled path does not take it.
std::vector<uint32_t> delimiter_units(const kel_value* d) {
    std::vector<uint32_t> out;
    if (type_of(d) == types::char_) {
        out.push_back(get_char(d));
    } else if (type_of(d) == types::string) {
        memory::buffer_header* h = string::buffer(d);
        const int64_t units = h->units();
        for (int64_t i = series_head(d) < 0 ? 0 : series_head(d); i < units; ++i)
            out.push_back(static_cast<uint32_t>(string::read_unit(string::unit_ptr(h, i), h->unit())));
    }
    for (uint32_t c : out)
        if (!caseless_q(c) || c == '\n' || c == '\r') return {};
    return out;
}

struct stop {};

template <class Unit>
class reader {
public:
    reader(const Unit* p, int32_t n, const kel_value* source, int32_t head, std::vector<uint32_t> delim, uint32_t q,
           bool ignore_empty, bool strict)
        : p_(p), n_(n), source_(source), head_(head), d_(std::move(delim)), q_(q), ignore_empty_(ignore_empty),
          strict_(strict) {}

    // Pushes the output block; `stop` when the rules must decide.
    void text() {
        kel_value* out = block::push_only_star(n_ / 80 > 0 ? n_ / 80 : 1);
        (void)out;
        for (;;) {
            int32_t j = i_;
            while (j < n_ && eol_unit(j)) ++j;
            if (j == n_) break;
            (void)block::push_only_star(16);
            value();
            while (delimiter_at(i_)) {
                i_ += static_cast<int32_t>(d_.size());
                value();
            }
            if (i_ < n_ && !eol_unit(i_)) throw stop{};
            add_line();
            if (i_ < n_) i_ += (unit(i_) == '\r' && i_ + 1 < n_ && unit(i_ + 1) == '\n') ? 2 : 1;
        }
        while (i_ < n_ && eol_unit(i_)) ++i_;
        if (i_ != n_) throw stop{};
    }

private:
    const Unit* p_;
    int32_t n_;
    int32_t i_ = 0;
    const kel_value* source_;
    int32_t head_;
    std::vector<uint32_t> d_;
    uint32_t q_;
    bool ignore_empty_, strict_;
    int32_t expected_ = -1;

    uint32_t unit(int32_t i) const { return static_cast<uint32_t>(p_[i]); }
    bool eol_unit(int32_t i) const { return unit(i) == '\n' || unit(i) == '\r'; }
    bool crlf_at(int32_t i) const { return unit(i) == '\r' && i + 1 < n_ && unit(i + 1) == '\n'; }
    bool delimiter_at(int32_t i) const {
        if (static_cast<int64_t>(i) + static_cast<int64_t>(d_.size()) > n_) return false;
        for (size_t k = 0; k < d_.size(); ++k)
            if (unit(i + static_cast<int32_t>(k)) != d_[k]) return false;
        return true;
    }

    // The value read is appended to the row on top of the stack.
    void value() {
        if (i_ < n_ && unit(i_) == q_) {
            int32_t j = i_ + 1;
            bool doubled = false;
            for (;;) {
                if (j >= n_) break;
                if (unit(j) != q_) {
                    ++j;
                    continue;
                }
                if (j + 1 < n_ && unit(j + 1) == q_) {
                    doubled = true;
                    j += 2;
                    continue;
                }
                // The closing quote.
                add_string(i_ + 1, j, doubled);
                i_ = j + 1;
                return;
            }
        }
        int32_t j = i_;
        if (d_.size() == 1) {
            const uint32_t d = d_[0];
            while (j < n_ && unit(j) != d && unit(j) != '\n' && !crlf_at(j)) ++j;
        } else {
            while (j < n_ && unit(j) != '\n' && !crlf_at(j) && !delimiter_at(j)) ++j;
        }
        add_string(i_, j, false);
        i_ = j;
    }

    void add_string(int32_t from, int32_t to, bool doubled) {
        kel_value* s = stack::push_unset();
        string::copy_units(source_, head_ + from, to - from, s);
        if (doubled) {
            // Q Q to Q, in place: the write index never passes the read index.
            memory::buffer_header* h = string::buffer(s);
            const uint32_t u = h->unit();
            const int32_t n = static_cast<int32_t>(h->units());
            int32_t w = 0;
            for (int32_t r = 0; r < n; ++r, ++w) {
                const uint32_t c = string::read_unit(string::unit_ptr(h, r), u);
                if (c == q_ && r + 1 < n && string::read_unit(string::unit_ptr(h, r + 1), u) == q_) ++r;
                string::write_unit(string::unit_ptr(h, w), u, c);
            }
            (void)string::truncate_units(h, w);
        }
        block::ks_add(s - 1, s);
        stack::drop_cells(1);
    }

    void add_line() {
        kel_value* row = stack::top() - 1;
        int32_t length = block::ks_length_q(row);
        if (ignore_empty_ && length > 0) {
            const kel_value* last = block::ks_abs_at(row, series_head(row) + length - 1);
            if (type_of(last) == types::string && string::ks_length_q(last) == 0) {
                block::ks_cut_at(row, series_head(row) + length - 1);
                --length;
            }
        }
        if (expected_ >= 0) {
            if (strict_ && expected_ != length) throw stop{};
        } else {
            expected_ = length;
        }
        block::ks_add(row - 1, row);
        stack::drop_cells(1);
    }
};

template <class Unit>
bool read_all(const kel_value* text, std::vector<uint32_t> delim, uint32_t q, bool ignore_empty, bool strict) {
    int32_t head = 0;
    std::vector<Unit> copy = string::units_from_head<Unit>(text, &head);
    reader<Unit> r(copy.data(), static_cast<int32_t>(copy.size()), text, head, std::move(delim), q, ignore_empty, strict);
    kel_value* saved = stack::top();
    try {
        r.text();
    } catch (const stop&) {
        stack::regs.top = saved;
        return false;
    }
    return true;
}

machine_value read_routine_fn(const machine_value* a, int32_t) {
    const kel_value* text = a[0].cell;
    std::vector<uint32_t> delim = delimiter_units(a[1].cell);
    const kel_value* quote = a[2].cell;
    kel_value answer;
    set_none(&answer);
    if (delim.empty() || type_of(quote) != types::char_ || !caseless_q(get_char(quote)) ||
        get_char(quote) == '\n' || get_char(quote) == '\r') {
        return routines::answer_cell(&answer);
    }
    for (uint32_t c : delim)
        if (c == get_char(quote)) return routines::answer_cell(&answer);
    const bool ignore_empty = logic::truthy(a[3].cell);
    const bool strict = logic::truthy(a[4].cell);
    kel_value* saved = stack::top();
    bool ok;
    switch (string::buffer(text)->unit()) {
        case 1: ok = read_all<uint8_t>(text, std::move(delim), get_char(quote), ignore_empty, strict); break;
        case 2: ok = read_all<uint16_t>(text, std::move(delim), get_char(quote), ignore_empty, strict); break;
        default: ok = read_all<int32_t>(text, std::move(delim), get_char(quote), ignore_empty, strict); break;
    }
    if (ok) answer = *(stack::top() - 1);
    stack::regs.top = saved;
    return routines::answer_cell(&answer);
}

// --- writing -------------------------------------------------------------------------

// One value as `escape-value` makes it: a string as it is, anything else
// formed; quoted (its quotes doubled) when it holds a blank, a line feed,
// the quote or a delimiter character. The only value of its row is quoted
// when empty too: a blank line would read back as no row.
void write_value(string::text_writer& tw, const kel_value* v, const std::vector<uint32_t>& delim, uint32_t q,
                 bool alone) {
    kel_value* s = stack::push_copy(v);
    if (type_of(v) != types::string) {
        const kel_value value = *v;
        string::init_cell(s, 16);
        (void)actions::form_value(&value, s, nullptr, 0x7FFFFFFF);
    }
    memory::buffer_header* h = string::buffer(s);
    const uint32_t u = h->unit();
    const int64_t units = h->units();
    const int64_t head = series_head(s) < 0 ? 0 : series_head(s);
    bool quoted = alone && units <= head;
    for (int64_t i = head; i < units && !quoted; ++i) {
        const uint32_t c = string::read_unit(string::unit_ptr(h, i), u);
        if (c == ' ' || c == '\n' || c == q) quoted = true;
        for (uint32_t d : delim)
            if (c == d) quoted = true;
    }
    if (quoted) tw.put(q);
    for (int64_t i = head; i < units; ++i) {
        h = string::buffer(s);  // the writer's flush may allocate
        const uint32_t c = string::read_unit(string::unit_ptr(h, i), u);
        tw.put(c);
        if (quoted && c == q) tw.put(q);
    }
    if (quoted) tw.put(q);
    stack::drop_cells(1);
}

machine_value write_routine_fn(const machine_value* a, int32_t) {
    kel_value* out = a[0].cell;
    const kel_value* rows = a[1].cell;
    const std::vector<uint32_t> delim = delimiter_units(a[2].cell);
    const kel_value* quote = a[3].cell;
    kel_value answer;
    set_none(&answer);
    if (delim.empty() || type_of(quote) != types::char_ || !caseless_q(get_char(quote)))
        return routines::answer_cell(&answer);
    const uint32_t q = get_char(quote);
    const int32_t n = block::ks_length_q(rows);
    const int32_t head = series_head(rows);
    for (int32_t i = 0; i < n; ++i)
        if (type_of(block::ks_abs_at(rows, head + i)) != types::block) return routines::answer_cell(&answer);
    string::text_writer tw(out);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value row = *block::ks_abs_at(rows, head + i);
        const int32_t m = block::ks_length_q(&row);
        for (int32_t k = 0; k < m; ++k) {
            if (k)
                for (uint32_t d : delim) tw.put(d);
            const kel_value v = *block::ks_abs_at(&row, series_head(&row) + k);
            write_value(tw, &v, delim, q, m == 1);
        }
        tw.put('\n');
    }
    tw.flush();
    return routines::answer_cell(out);
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "csv-read";
    e.spec = R"k("The rows of CSV text, or none" data [string!] delimiter [any-type!] quote [any-type!] ignore-empty [any-type!] strict [any-type!])k";
    e.fn = read_routine_fn;
    routines::define(routine_numbers::csv_rows, e);
    e.name = "csv-write";
    e.spec = R"k("Append the CSV lines of rows to a string, or answer none" output [string!] rows [block!] delimiter [any-type!] quote [any-type!])k";
    e.fn = write_routine_fn;
    routines::define(routine_numbers::csv_rows + 1, e);
}

}  // namespace kel::csv_rows
