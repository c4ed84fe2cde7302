// runtime_words: the names the runtime recognises without looking them up:
// function-spec words, parse keywords, loop natives, event and date fields,
// trace events, error categories, frame names. They are made once at
// start-up, right after the symbol table and the datatype-name words exist,
// and each is kept in a slot of its own, so every name test of the runtime is
// one integer comparison.
//
// Three kinds of slot:
//   symbol slots (`words::any`)   a symbol id, compared with a word's symbol
//                                 (usually after `symbol::resolve`);
//   word slots (`words::_any`)    a copy of the global word cell (context,
//                                 symbol, index), which follows the word's
//                                 value; made from a symbol slot or a name;
//   value slots                   unbound refinement! values and one issue!,
//                                 kept in the root block (copies here).
// Slot names follow the name, with C++ keywords taking a trailing underscore,
// "!" dropped, "?" as _q, "*" as _star, "-" as "_", and the bracketed frame
// names without their brackets.
//
// The lists below are the creation order; the order is part of the contract
// (symbol ids follow it). A name listed twice is made twice into one slot.
//
// Also here, in one place: the roots the collector must mark for the name
// tables besides the root block.
#pragma once
#include <cstdint>

#include "kernel/collector.h"
#include "kernel/value.h"

// Symbol slots, in order. N(name): interned here without a slot.
#define KEL_RUNTIME_SYMBOLS(X, N)                                                                                     \
    X(spec, "spec") X(body, "body") X(words, "words") X(class_, "class")                                              \
    X(logic, "logic!") X(integer, "integer!") X(char_, "char!") X(float_, "float!") X(percent, "percent!")            \
    X(any_type, "any-type!")                                                                                          \
    X(exit, "exit") X(return_, "return")                                                                              \
    X(Windows, "Windows") X(Syllable, "Syllable") X(macOS, "macOS") X(Linux, "Linux") X(NetBSD, "NetBSD")             \
    X(repeat, "repeat") X(foreach, "foreach") X(map_each, "map-each") X(remove_each, "remove-each")                   \
    X(any, "any") X(break_, "break") X(copy, "copy") X(end, "end") X(fail, "fail") X(into, "into") X(opt, "opt")       \
    X(not_, "not") X(quote, "quote") X(case_, "case") X(reject, "reject") X(set, "set") X(skip, "skip")               \
    X(some, "some") X(thru, "thru") X(to, "to") X(none, "none") X(pipe, "|") X(dash, "-") X(if_, "if")                \
    X(remove, "remove") X(while_, "while") X(insert, "insert") X(only, "only") X(collect, "collect")                  \
    X(keep, "keep") X(pick, "pick") X(ahead, "ahead") X(after, "after")                                               \
    X(x, "x") X(y, "y") X(z, "z")                                                                                     \
    X(self, "self") X(values, "values") X(owner, "owner") X(owned, "owned") X(events_q, "events?")                    \
    X(true_, "true") X(false_, "false") X(yes, "yes") X(no, "no") X(on, "on") X(off, "off")                           \
    X(type, "type") X(face, "face") X(window, "window") X(offset, "offset") X(key, "key") X(flag, "flag")             \
    X(code, "code") X(picked, "picked") X(flags, "flags") X(away_q, "away?") X(ctrl_q, "ctrl?")                       \
    X(shift_q, "shift?") X(down_q, "down?") X(mid_down_q, "mid-down?") X(alt_down_q, "alt-down?")                     \
    X(aux_down_q, "aux-down?") X(orientation, "orientation")                                                          \
    X(get, "get") X(put, "put") X(post, "post") X(head, "head") X(size, "size") X(rgb, "rgb") X(alpha, "alpha")       \
    X(argb, "argb")                                                                                                   \
    X(date, "date") X(year, "year") X(month, "month") X(day, "day") X(zone, "zone") X(isoweek, "isoweek")             \
    X(week, "week") X(weekday, "weekday") X(yearday, "yearday") X(julian, "julian") X(time, "time")                   \
    X(hour, "hour") X(minute, "minute") X(second, "second") X(timezone, "timezone")                                   \
    /* "code" again: the same symbol, the same slot */                                                                \
    X(amount, "amount") X(user, "user") X(host, "host")                                                               \
    X(system, "system") X(system_global, "system-global")                                                             \
    N("stack")                                                                                                        \
    X(trace, "trace") X(no_trace, "no-trace")

// Word slots, in order. S(slot, symbol slot): the global word of a symbol made
// above; W(slot, name): the global word of a name; the *_AGAIN forms make a
// word once more into a slot listed earlier.
#define KEL_RUNTIME_WORDS(S, W, S_AGAIN, W_AGAIN)                                                                     \
    S(_windows, Windows) S(_syllable, Syllable) S(_macos, macOS) S(_linux, Linux) S(_netbsd, NetBSD)                  \
    S(_to, to) S(_thru, thru) S(_not, not_) S(_remove, remove) S(_while, while_) S(_collect, collect)                 \
    S(_keep, keep) S(_ahead, ahead) S(_pipe, pipe) S(_any, any) S(_some, some) S(_copy, copy) S(_opt, opt)            \
    S(_into, into) S(_insert, insert) S(_if, if_) S(_quote, quote) S_AGAIN(_collect, collect) S(_set, set)            \
    S(_case, case_)                                                                                                   \
    W(_at, "at") W(_back, "back") W(_find, "find") W(_head, "head") W(_head_q, "head?") W(_index_q, "index?")         \
    W(_length_q, "length?") W(_next, "next") W(_pick, "pick") W(_skip, "skip") W(_select, "select")                   \
    W(_tail, "tail") W(_tail_q, "tail?") W(_change, "change") W(_changed, "changed") W(_clear, "clear")               \
    W(_cleared, "cleared") W(_set_path, "set-path") W(_append, "append") W(_appended, "appended")                     \
    W(_move, "move") W(_moved, "moved") W(_poke, "poke") W(_poked, "poked") W(_put, "put") W(_put_ed, "put-ed")       \
    W(_removed, "removed") W(_random, "random") W(_randomized, "randomized") W(_reverse, "reverse")                   \
    W(_reversed, "reversed") W(_sort, "sort") W(_sorted, "sorted") W(_swap, "swap") W(_swaped, "swaped")              \
    W(_take, "take") W(_taken, "taken") W(_trim, "trim") W(_trimmed, "trimmed") W(_inserted, "inserted")              \
    W(_uppercase, "uppercase") W(_lowercase, "lowercase") W(_checksum, "checksum")                                    \
    W(_push, "push") W(_pop, "pop") W(_fetch, "fetch") W(_match, "match") W(_iterate, "iterate")                      \
    W(_paren, "paren")                                                                                                \
    W(_anon, "<anon>") W(_body, "<body>") W(_not_found, "<not-found>")                                                \
    S(_end, end)                                                                                                      \
    W(_add, "add") W(_subtract, "subtract") W(_divide, "divide")                                                      \
    W(_on_parse_event, "on-parse-event") W(_on_change_star, "on-change*")                                             \
    W(_on_deep_change_star, "on-deep-change*")                                                                        \
    W(_type, "type") W(_id, "id")                                                                                     \
    W(_try, "try") W(_catch, "catch") W(_name, "name") W(_multiply, "multiply")                                       \
    W(_browse, "browse") W(_open, "open") W(_create, "create") W(_close, "close") W(_delete, "delete")                \
    W(_modify, "modify") W(_query, "query") W(_read, "read") W(_rename, "rename") W(_update, "update")                \
    W(_write, "write")                                                                                                \
    W(_prescan, "prescan") W(_scan, "scan") W(_load, "load") W(_error, "error") W(_comment, "comment")                \
    W(_init, "init") W(_exec, "exec") W(_call, "call") W(_return, "return") W(_enter, "enter") W(_exit, "exit")       \
    W(_prolog, "prolog") W(_epilog, "epilog") W(_throw, "throw") W(_expr, "expr")                                     \
    W(_interp_callback, "<interp-callback>") W(_lexer_callback, "<lexer-callback>")                                   \
    W(_parse_callback, "<parse-callback>") W(_compare_callback, "<compare-callback>")                                 \
    W_AGAIN(_throw, "throw") W(_note, "note") W(_syntax, "syntax") W(_script, "script") W(_math, "math")              \
    W(_access, "access") W(_user, "user") W(_internal, "internal") W(_invalid_error, "invalid-error")                 \
    W(_local, "local") W(_applied, "<applied>")

// Refinement slots (unbound refinement! values), in order.
#define KEL_RUNTIME_REFINEMENTS(X) \
    X(ref_local, "local") X(ref_extern, "extern") X(ref_compare, "compare") X(ref_part, "part") X(ref_skip, "skip") \
    X(ref_with, "with")

namespace kel::words {

#define KEL_DECLARE_SYMBOL_SLOT(slot, name) extern uint32_t slot;
#define KEL_DECLARE_NOTHING(...)
#define KEL_DECLARE_WORD_SLOT(slot, from) extern kel_value slot;
KEL_RUNTIME_SYMBOLS(KEL_DECLARE_SYMBOL_SLOT, KEL_DECLARE_NOTHING)
KEL_RUNTIME_WORDS(KEL_DECLARE_WORD_SLOT, KEL_DECLARE_WORD_SLOT, KEL_DECLARE_NOTHING, KEL_DECLARE_NOTHING)
KEL_RUNTIME_REFINEMENTS(KEL_DECLARE_WORD_SLOT)
#undef KEL_DECLARE_SYMBOL_SLOT
#undef KEL_DECLARE_NOTHING
#undef KEL_DECLARE_WORD_SLOT

// The symbol of the word `changed`, made last.
extern uint32_t changed;
// The issue! made from the name "ooo".
extern kel_value issue_ooo;

// Start-up, in this order, after the datatype-name words.
void make_runtime_words();
void make_runtime_refinements();
void make_runtime_issues();
bool ready();

// The word of every registered datatype name into the registry's type-name
// table (`registry::type_names[t].word`).
void bind_datatype_names();

// --- roots for the collector ----------------------------------------------------
// What the collector marks for the name tables besides the root block (which
// holds the symbol table block, the runtime refinements and issue, and the
// recorded global words): the symbol index and the global context. The word
// slots above need nothing more: they are bound to the global context.
collector::name_roots roots();

}  // namespace kel::words
