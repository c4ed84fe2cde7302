// action_specs: the spec texts and a small reader of their refinements.
#include "kernel/action_specs.h"

#include <cctype>

#include "kernel/registry.h"

namespace kel::action_specs {

namespace {

constexpr spec table[act::count] = {
    {"make", "type", "type [any-type!] spec [any-type!]"},
    {"random", "value", "value [any-type!] /seed /secure /only"},
    {"reflect", "value", "value [any-type!] field [word!]"},
    {"to", "type", "type [any-type!] spec [any-type!]"},
    {"form", "value", "value [any-type!] /part limit [integer!]"},
    {"mold", "value", "value [any-type!] /only /all /flat /part limit [integer!]"},
    {nullptr, nullptr, nullptr},  // 7: path step
    {nullptr, nullptr, nullptr},  // 8: never filled
    {nullptr, nullptr, nullptr},  // 9: compare
    {"absolute", "value", "value [number! char! pair! any-point! time! money!]"},
    {"add", "value1", "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"divide", "value1", "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"multiply", "value1", "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"negate", "number", "number [number! bitset! pair! any-point! time! money!]"},
    {"power", "number", "number [number!] exponent [integer! float!]"},
    {"remainder", "value1", "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"round", "n",
     "n [number! time! pair! any-point! money!] /to scale [number! time! pair! any-point! money!] /even /down /half-down /floor "
     "/ceiling /half-ceiling"},
    {"subtract", "value1", "value1 [scalar! vector!] value2 [scalar! vector!]"},
    {"even?", "number", "number [number! char! time! money!]"},
    {"odd?", "number", "number [number! char! time! money!]"},
    {"and~", "value1",
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"complement", "value", "value [logic! integer! bitset! typeset! binary! tuple!]"},
    {"or~", "value1",
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"xor~", "value1",
     "value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] "
     "value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]"},
    {"append", "series",
     "series [series! port! bitset!] value [any-type!] /part length [number! series!] /only /dup count [integer!]"},
    {"at", "series", "series [series! port!] index [integer! pair!]"},
    {"back", "series", "series [series! port!]"},
    {"change", "series",
     "series [series! port!] value [any-type!] /part range [number! series!] /only /dup count [integer!]"},
    {"clear", "series", "series [series! port! bitset! map! none!]"},
    {"copy", "value",
     "value [series! any-object! bitset! map!] /part length [number! series! pair!] /deep /types kind [datatype! "
     "typeset!]"},
    {"find", "series",
     "series [series! bitset! typeset! port! map! none!] value [any-type!] /part length [number! series!] /only "
     "/case /same /any /with wild [string!] /skip size [integer!] /last /reverse /tail /match"},
    {"head", "series", "series [series! port!]"},
    {"head?", "series", "series [series! port!]"},
    {"index?", "series", "series [series! port! any-word!]"},
    {"insert", "series",
     "series [series! port! bitset!] value [any-type!] /part length [number! series!] /only /dup count [integer!]"},
    {"length?", "series", "series [series! port! bitset! map! tuple! none!]"},
    {"move", "origin", "origin [series! port!] target [series! port!] /part length [integer!]"},
    {"next", "series", "series [series! port!]"},
    {"pick", "series",
     "series [series! port! bitset! pair! any-point! tuple! money! date! time! external!] index [scalar! any-string! any-word! block! "
     "logic! time!]"},
    {"poke", "series",
     "series [series! port! bitset!] index [scalar! any-string! any-word! block! logic!] value [any-type!]"},
    {"put", "series", "series [series! port! map! object!] key [scalar! any-string! any-word! refinement! issue! binary!] value "
                      "[any-type!] /case"},
    {"remove", "series",
     "series [series! port! bitset! map! none!] /part length [number! char! series!] /key key-arg [scalar! "
     "any-string! any-word! refinement! issue! binary! block!]"},
    {"reverse", "series", "series [series! port! pair! any-point! tuple!] /part length [number! series!] /skip size [integer!]"},
    {"select", "series",
     "series [series! any-object! map! none!] value [any-type!] /part length [number! series!] /only /case /same "
     "/any /with wild [string!] /skip size [integer!] /last /reverse"},
    {"sort", "series",
     "series [series! port!] /case /skip size [integer!] /compare comparator [integer! block! any-function!] /part "
     "length [number! series!] /all /reverse /stable"},
    {"skip", "series", "series [series! port!] offset [integer! pair!]"},
    {"swap", "series1", "series1 [series! port!] series2 [series! port!]"},
    {"tail", "series", "series [series! port!]"},
    {"tail?", "series", "series [series! port!]"},
    {"take", "series", "series [series! port! none!] /part length [number! series!] /deep /last"},
    {"trim", "series",
     "series [series! port!] /head /tail /auto /lines /all /with str [char! string! binary! integer!]"},
    {"create", "port", "port [port! file! url! block!]"},
    {"close", "port", "port [port!]"},
    {"delete", "file", "file [any-type!]"},
    {"modify", "target", "target [object! series! bitset!] field [word!] value [any-type!] /case"},
    {"open", "port", "port [port! file! url! block!] /new /read /write /seek /allow access [block!]"},
    {"open?", "port", "port [port!]"},
    {"query", "target", "target [file! port!]"},
    {"read", "source",
     "source [file! url! port!] /part length [number!] /seek index [number!] /binary /lines /info /as encoding "
     "[word!]"},
    {"rename", "from", "from [port! file! url!] to [port! file! url!]"},
    {"update", "port", "port [port!]"},
    {"write", "destination",
     "destination [file! url! port!] data [any-type!] /binary /lines /info /append /part length [number!] /seek "
     "index [number!] /allow access [block!]"},
};

const spec empty{nullptr, nullptr, nullptr};

// Calls fn(token) for each refinement of the text, skipping type blocks and
// doc strings.
template <class F>
void each_refinement(const char* text, F fn) {
    if (!text) return;
    std::string_view s(text);
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '[') {
            int depth = 0;
            for (; i < s.size(); ++i) {
                if (s[i] == '[') ++depth;
                else if (s[i] == ']' && --depth == 0) break;
            }
            ++i;
        } else if (c == '"') {
            i = s.find('"', i + 1);
            i = (i == std::string_view::npos) ? s.size() : i + 1;
        } else {
            size_t j = i;
            while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j])) && s[j] != '[') ++j;
            if (c == '/') fn(s.substr(i, j - i));
            i = j;
        }
    }
}

}  // namespace

const spec& of(int action) {
    if (action < 1 || action > act::count) return empty;
    return table[action - 1];
}

int refinement_count(int action) {
    int n = 0;
    each_refinement(of(action).text, [&](std::string_view) { ++n; });
    return n;
}

int refinement_index(int action, std::string_view refinement) {
    int n = 0, found = -1;
    each_refinement(of(action).text, [&](std::string_view r) {
        if (found < 0 && r == refinement) found = n;
        ++n;
    });
    return found;
}

}  // namespace kel::action_specs
