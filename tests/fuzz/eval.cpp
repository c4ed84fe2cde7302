// Random programs against the whole runtime: each input seeds a generator
// that writes a small, mostly well-formed Kel program from a vocabulary taken
// from the booted runtime itself (every global word whose value is a native,
// action, operator or library function, with its spec read back through
// `reflect`), values of every type the lexer writes, refinement paths, nested
// blocks, local functions and objects, bounded loops, control codes in
// random places, and known errors raised under every kind of frame (loops,
// function bodies, parens, sort/compare, foreach, change handlers, trace
// callbacks) whose receiver the program checks itself, with an expression
// after it. The program runs under `try` or `try/all`; afterwards the
// argument stack and the call marks must be where they were, and a sanity
// expression must still give its answer. A crash, a fatal exit, a sanitizer
// report, a control code or a C++ exception escaping to the top, a moved stack
// or a wrong sanity answer is a fault: the program is printed and the process
// aborts.
//
// Every 4th program runs twice, with the evaluator's decoding off and on, and
// the two results must agree; some programs change the blocks they run in
// (append to, change, poke, clear, rebind a running body, a function that
// replaces itself).
//
// Every 16th program also runs with the collector's stress check (a
// collection every 7th allocation, the heap verified after each), unless
// KEL_GC_STRESS already applies its own interval to all of them.
//
// Environment, for long runs by hand:
//   EVALFUZZ_PRINT=1      print every program (with its number) to stderr
//   EVALFUZZ_PRINT=unloaded  print the programs the lexer refused
//   EVALFUZZ_TIMEOUT=S    a program using more than S seconds of CPU time is
//                         a hang (default 60; a watchdog thread aborts the
//                         process). CPU time, not the clock: on a loaded
//                         machine a slow program is no hang.
//   EVALFUZZ_SIZE=N       the node budget of a program (default 40)
//   EVALFUZZ_STATS=1      count the outcomes, printed at exit
//   EVALFUZZ_SLOW=MS      print every program that took at least MS ms
//   EVALFUZZ_STRESS_PERIOD=N  the stress check on every N-th program (0: off)
//   EVALFUZZ_PROGRAM=FILE the program in the file instead of generated ones
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "evaluator/decode.h"
#include "evaluator/interpreter.h"
#include "evaluator/parse.h"
#include "kernel/stack.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "kernel/signal.h"
#include "library/boot.h"
#include "services/lexer.h"
#include "tests/fuzz/driver/xorshift.h"

extern "C" void __sanitizer_set_death_callback(void (*)(void)) __attribute__((weak));

namespace {

using kel::kel_value;
namespace types = kel::types;

// --- reporting -------------------------------------------------------------------------------

// The program being run, for the fault handlers (a fixed buffer: they may
// only call write).
char current_program[16384];
size_t current_length = 0;
std::atomic<long> current_case{-1};
std::atomic<int64_t> case_started_ms{0};
std::atomic<int64_t> case_started_cpu_ms{0};

void write_err(const char* text, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(2, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void print_current() {
    if (current_case.load() < 0) return;
    static const char head[] = "\n*** evalfuzz: the program running:\n";
    write_err(head, sizeof head - 1);
    write_err(current_program, current_length);
    write_err("\n", 1);
}

void on_fault(int signo) {
    print_current();
    raise(signo);  // the handler was reset: the default action now
}

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::string text = std::string("*** evalfuzz: ") + what + (detail.empty() ? "" : ": " + detail) + "\n";
    write_err(text.data(), text.size());
    print_current();
    current_case.store(-1);
    std::abort();
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The process's CPU time: the watchdog's own sleeps add nothing to it.
int64_t cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void watchdog(int64_t limit_ms) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const int64_t started = case_started_cpu_ms.load();
        if (started && cpu_ms() - started > limit_ms) {
            static const char msg[] = "*** evalfuzz: a program ran past its CPU time limit (hang)\n";
            write_err(msg, sizeof msg - 1);
            print_current();
            _exit(70);
        }
    }
}

// --- the vocabulary --------------------------------------------------------------------------

struct argument {
    std::vector<std::string> types;  // the spec's type words (empty: any)
    char kind = ' ';                 // ' ' evaluated, '\'' literal, ':' get
    std::string name;
};
struct refinement {
    std::string name;
    std::vector<argument> args;
};
struct callable {
    std::string name;
    bool infix = false;
    std::vector<argument> args;
    std::vector<refinement> refinements;
};
std::vector<callable> vocabulary;

// Words left out: they would reach outside the process (files, the network,
// other programs) or wait on the clock once they are built.
const char* const excluded[] = {"call", "browse", "delete", "rename", "write", "read", "open", "create", "wait",
                                "quit", "halt", "q", "set-env", "update", "close", "query",
                                "quit-return", "set-current-dir", "create-dir", "write-stdout",
                                "read-clipboard", "write-clipboard",
                                // library words that move the process, write files, read urls or
                                // keep state from one run to the next (the runs are compared)
                                "change-dir", "cd", "make-dir", "flip-exe-flag", "save", "load", "do-file",
                                "read-thru", "load-thru", "do-thru", "path-thru", "exists-thru?", "ls", "ll",
                                "list-dir", "debug", "profile", "trace", "ask", "input", "register-scheme",
                                "expand-directives", "react", "relate", "clear-reactions", "stop-reactor",
                                // take their argument literally and may go without one: they would
                                // take the set-word of a received-error check that follows
                                "help", "?",
                                // runs its block as many times as /times says: a random count is a hang
                                "clock"};

bool excluded_q(const std::string& name) {
    for (const char* e : excluded)
        if (name == e) return true;
    return false;
}

// A program that reads the clock: `now`, or the timing functions built on it
// (`dt` as a whole word: the letters occur inside other words).
bool reads_clock_q(const std::string& source) {
    if (source.find("now") != std::string::npos || source.find("time-it") != std::string::npos ||
        source.find("clock") != std::string::npos)
        return true;
    const auto delimiter = [](char c) { return c == ' ' || c == '[' || c == ']' || c == '(' || c == ')' || c == ':' ||
                                               c == '\'' || c == '/' || c == '\n'; };
    for (size_t at = source.find("dt"); at != std::string::npos; at = source.find("dt", at + 1)) {
        const bool before = at == 0 || delimiter(source[at - 1]);
        const bool after = at + 2 >= source.size() || delimiter(source[at + 2]);
        if (before && after) return true;
    }
    return false;
}

// Reads a molded spec block ("[value [any-type!] /part length [number!]]").
void read_spec(const std::string& text, callable& c) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && text[i] == '[') ++i;
    refinement* current = nullptr;
    argument* last = nullptr;
    bool in_return = false;
    while (i < n) {
        const char ch = text[i];
        if (ch == ' ' || ch == '\n' || ch == '\t' || ch == ']') {
            ++i;
        } else if (ch == '"') {
            ++i;
            while (i < n && text[i] != '"') i += text[i] == '^' ? 2 : 1;
            ++i;
        } else if (ch == '{') {
            int depth = 0;
            for (; i < n; ++i) {
                if (text[i] == '^') { ++i; continue; }
                if (text[i] == '{') ++depth;
                else if (text[i] == '}' && --depth == 0) break;
            }
            ++i;
        } else if (ch == '[') {
            // a type block: the words of the last argument
            size_t j = text.find(']', i);
            if (j == std::string::npos) j = n;
            std::string inner = text.substr(i + 1, j - i - 1);
            if (last && !in_return) {
                size_t k = 0;
                while (k < inner.size()) {
                    while (k < inner.size() && inner[k] == ' ') ++k;
                    size_t e = k;
                    while (e < inner.size() && inner[e] != ' ') ++e;
                    if (e > k) last->types.push_back(inner.substr(k, e - k));
                    k = e;
                }
            }
            i = j + 1;
        } else {
            size_t j = i;
            while (j < n && text[j] != ' ' && text[j] != '[' && text[j] != ']' && text[j] != '\n') ++j;
            std::string token = text.substr(i, j - i);
            i = j;
            in_return = false;
            if (token.empty()) { ++i; continue; }
            if (token == "return:") { in_return = true; last = nullptr; continue; }
            if (token[0] == '/') {
                if (token == "/local" || token == "/extern") break;
                c.refinements.push_back({token.substr(1), {}});
                current = &c.refinements.back();
                last = nullptr;
                continue;
            }
            argument a;
            if (token[0] == '\'' || token[0] == ':') a.kind = token[0];
            a.name = a.kind == ' ' ? token : token.substr(1);
            if (current) {
                current->args.push_back(a);
                last = &current->args.back();
            } else {
                c.args.push_back(a);
                last = &c.args.back();
            }
        }
    }
}

// --- running source --------------------------------------------------------------------------

enum class outcome { value, raised, syntax, code };

struct run_result {
    outcome how;
    std::string text;  // the result formed (value), when asked for
    bool error = false;  // the value is an error! (a try caught one)
};

int null_fd = -1;
kel_value holder{types::unset, 0, 0, 0};  // a block in the root block: cell 0 holds the program

// Loads and evaluates source text under an error trap, checking that the
// stacks come back to where they were. `form` asks for the result's formed
// text.
run_result run_source(const std::string& source, bool form) {
    kel_value* const entry = kel::stack::top();
    kel_value* const base = kel::stack::arguments();
    const int32_t marks = kel::stack::mark_depth();
    run_result result{outcome::value, ""};
    const kel::error_trap trap = kel::open_error_trap();
    bool loaded = false;
    try {
        kel_value* block = kel::stack::push_unset();
        kel::lexer::options o;
        (void)kel::lexer::transcode_utf8(block, reinterpret_cast<const uint8_t*>(source.data()), source.size(), o);
        loaded = true;
        const kel_value code = *block;
        *kel::block::ks_abs_at(&holder, 0) = code;  // kept through the evaluation
        kel::stack::regs.top = entry;
        const kel::signal_code c = kel::interpreter::eval_block(&code, false);
        kel::close_error_trap(trap, false);
        if (c != kel::signal_code::none) {
            result.how = outcome::code;
            result.text = std::to_string(kel::code_value(c));
        } else {
            if (kel::stack::top() != entry + 1)
                fail("the argument top moved", std::to_string(kel::stack::top() - entry - 1) + " cells");
            if (kel::stack::mark_depth() != marks)
                fail("call marks left open", std::to_string(kel::stack::mark_depth() - marks));
            if (kel::stack::arguments() != base) fail("the arguments base moved");
            result.error = kel::type_of(entry) == types::error;
            if (form) {
                char* text = nullptr;
                int32_t length = 0;
                const kel_value v = *entry;
                kel::boot::form_utf8(&v, &text, &length);
                result.text.assign(text, static_cast<size_t>(length));
            }
        }
    } catch (const kel::kel_unwind& u) {
        const bool error = u.code == kel::code_value(kel::signal_code::error);
        kel::close_error_trap(trap, error);
        if (!error) fail("a control code escaped as an exception", std::to_string(u.code));
        result.how = loaded ? outcome::raised : outcome::syntax;
    } catch (...) {
        fail("a C++ exception escaped");
    }
    kel::set_unset(kel::block::ks_abs_at(&holder, 0));
    if (kel::stack::mark_depth() != marks) fail("call marks left open after an error");
    if (kel::stack::arguments() != base) fail("the arguments base moved after an error");
    if (kel::stack::top() < entry) fail("the argument top fell below its start");
    if (kel::parse::rule_cells() != 0 || kel::parse::input_cells() != 0)
        fail("parse stacks left in use", std::to_string(kel::parse::rule_cells()) + " rule cells, " +
                                             std::to_string(kel::parse::input_cells()) + " input cells");
    kel::stack::regs.top = entry;
    return result;
}

// --- the global words, kept and put back -----------------------------------------------------

kel_value snapshot{types::unset, 0, 0, 0};  // a block in the root block
int32_t snapshot_length = 0;

void take_snapshot() {
    const uint32_t g = kel::_context::global();
    snapshot_length = kel::_context::length(g);
    kel_value* b = kel::block::make_at_tail(nullptr, snapshot_length + 1);
    snapshot = *b;
    for (int32_t i = 0; i < snapshot_length; ++i) {
        const kel_value v = kel::_context::values(g)[i];
        kel::block::ks_add(&snapshot, &v);
    }
}

// A program may set any word, the natives' among them: every global word
// gets its value from before the program back, new words become unset.
void restore_globals() {
    const uint32_t g = kel::_context::global();
    const int32_t n = kel::_context::length(g);
    kel_value* values = kel::_context::values(g);
    for (int32_t i = 0; i < n; ++i) {
        if (i < snapshot_length) values[i] = *kel::block::ks_abs_at(&snapshot, kel::series_head(&snapshot) + i);
        else kel::set_unset(&values[i]);
    }
}

// --- the generator ---------------------------------------------------------------------------

using rng = fuzz::xorshift<11>;

const char* const variables[] = {"a", "b", "c", "s", "t", "n", "x", "y", "o", "f", "g", "blk", "str"};
const char* const parameters[] = {"p", "q", "r", "v", "w"};
const char* const other_words[] = {"self", "none", "true", "false", "on", "off", "foo", "bar", "system", "pi",
                                   "tab", "newline", "space", "any-type!", "number!", "series!", "any-string!",
                                   "any-block!", "any-word!", "any-function!", "scalar!", "Kel"};
const char* const datatypes[] = {"integer!", "float!", "string!", "block!", "paren!", "word!", "set-word!",
                                 "lit-word!", "get-word!", "refinement!", "issue!", "file!", "url!", "char!",
                                 "logic!", "none!", "time!", "typeset!", "object!", "function!", "native!",
                                 "action!", "op!", "datatype!", "path!", "set-path!", "lit-path!", "get-path!",
                                 "bitset!", "map!", "hash!", "binary!", "tag!", "email!", "pair!", "error!",
                                 "unset!", "percent!", "tuple!", "money!", "date!", "vector!", "image!", "ref!"};
const char* const integers[] = {"0", "1", "-1", "2", "3", "7", "10", "255", "256", "65536", "2147483647",
                                "-2147483648", "2147483646", "-2147483647", "100", "-5", "1000000", "12", "4"};
const char* const floats[] = {"0.0", "-0.0", "1.5", "1e308", "-1e308", "1e-308", "4.9e-324", "0.1", "3.0",
                              "1e10", "2147483648.0", "-2147483649.0", "2.5", "-7.25", "1.7976931348623157e308",
                              "50%", "0%", "-100%", "1.#INF", "1.#NaN"};
const char* const chars[] = {"#\"a\"", "#\"^@\"", "#\"^(1F600)\"", "#\"\xC3\xA9\"", "#\" \"", "#\"^/\"",
                             "#\"Z\"", "#\"0\"", "#\"^(10FFFF)\"", "#\"^-\"", "#\"\xE6\x97\xA5\""};
const char* const strings[] = {"\"\"", "\"abc\"", "\"h\xC3\xA9llo\"", "\"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\"",
                               "\"a^/b\"", "{multi^/line}", "\"^(1F600)x\"", "\"  spaced  \"", "\"ABC\"",
                               "\"1234\"", "\"a,b,c\"", "\"^@\"", "\"x\"", "\"abcabc\"", "{a{b}c}", "\"1 + 2\"",
                               "\"[a b]\"", "\"%41%zz\"", "\"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\""};
const char* const others[] = {"#abc", "#1", "%file.txt", "%a/b", "%\"\"", "%\"with space\"", "%.",
                              "http://example.com/x?y=1", "ftp://a.b", "a@b.c", "<tag>", "<a href=\"x\">",
                              "#{}", "#{00FF10}", "1x2", "-1x0", "12:30", "0:00", "-1:00", "23:59:59.999",
                              "100:00", "1:2:3", "0:0:0.000001", "/part", "/only", "/deep", "/local", "/foo",
                              "@ref", "none", "true", "false"};
const char* const ops[] = {"+", "-", "*", "/", "//", "**", "and", "or", "xor", "=", "<>", "==", "<", ">",
                           "<=", ">=", "=?"};
const char* const throw_names[] = {"'tag", "'other", "'foo"};

bool looper_q(const std::string& name) {
    static const char* const loopers[] = {"loop", "repeat", "forever", "while", "until", "foreach", "forall",
                                          "remove-each"};
    for (const char* l : loopers)
        if (name == l) return true;
    return false;
}

bool guard_word_q(const std::string& name) {
    static const char* const used[] = {"all", "if", "break", "set", "do", "make", "<", ">", "+"};
    for (const char* u : used)
        if (name == u) return true;
    return false;
}

// Opens every generated function body: past a budget of calls for the whole
// program every call fails at once, so recursion that catches its own errors
// inside a loop (work that doubles with each level) still ends soon. `set`
// rather than a set-word, which `function` would make local.
const char* const call_guard = "if (set 'fzc fzc + 1) > 300 [do make error! \"calls\"]";

struct generator {
    rng& r;
    std::string out;
    int budget;
    int counter = 0;    // loop guard counters made so far
    int depth = 0;
    int rewritten = 0;  // inside a block the program rewrites while it runs
    bool randomly_traced = false;  // a do/trace with a random tracer is in the program

    explicit generator(rng& g, int size) : r(g), budget(size) {}

    void put(const char* s) {
        if (!out.empty() && out.back() != '[' && out.back() != '(' && out.back() != ' ') out += ' ';
        out += s;
    }
    void put(const std::string& s) { put(s.c_str()); }
    void raw(const char* s) { out += s; }

    const callable& any_callable() { return vocabulary[r.below(static_cast<uint32_t>(vocabulary.size()))]; }

    // A word to evaluate or to get: the loop natives are left out, as a
    // loop written by chance may never end, and so are the words the loop
    // guards use, which `set [if all] ...` would change.
    std::string a_word() {
        switch (r.below(4)) {
            case 0: return r.pick(variables);
            case 1: return r.pick(other_words);
            case 2: {
                const callable& c = any_callable();
                return looper_q(c.name) || guard_word_q(c.name) ? std::string(r.pick(variables)) : c.name;
            }
            default: return r.pick(parameters);
        }
    }

    // A word to set or to quote (and so maybe to set): never one the loop
    // guards below use, nor `any-type!`, which the received-error checks
    // name in the trace callbacks they write.
    std::string a_settable_word() {
        switch (r.below(3)) {
            case 0: return r.pick(variables);
            case 1: {
                const std::string w = r.pick(other_words);
                return w == "any-type!" ? std::string(r.pick(variables)) : w;
            }
            default: return r.pick(parameters);
        }
    }

    // --- values --------------------------------------------------------------

    void literal() {
        --budget;
        switch (r.below(22)) {
            case 0: case 1: case 2: put(r.pick(integers)); break;
            case 3: put(std::to_string(static_cast<int>(r.below(40)) - 10)); break;
            case 4: case 5: put(r.pick(floats)); break;
            case 6: put(r.pick(chars)); break;
            case 7: case 8: put(r.pick(strings)); break;
            case 9: case 10: data_block('[', ']'); break;
            case 11: data_block('(', ')'); break;
            case 12: put(path_text()); break;
            case 13: put(a_settable_word() + ":"); break;
            case 14: put("'" + a_settable_word()); break;
            case 15: put(":" + a_word()); break;
            case 16: put(r.pick(datatypes)); break;
            case 17: case 18: put(r.pick(others)); break;
            case 19: put("'" + path_text()); break;
            case 20: put(r.pick(variables)); break;
            default: put(a_word()); break;
        }
    }

    std::string path_text() {
        std::string p = r.chance(60) ? r.pick(variables) : a_settable_word();
        const int steps = 1 + static_cast<int>(r.below(3));
        for (int i = 0; i < steps; ++i) {
            p += '/';
            switch (r.below(5)) {
                case 0: p += std::to_string(static_cast<int>(r.below(6)) - 1); break;
                case 1: p += ":"; p += r.pick(variables); break;
                case 2: p += r.pick(parameters); break;
                default: p += r.chance(50) ? "a" : a_settable_word(); break;
            }
        }
        return p;
    }

    // A block (or paren) of data: values, some of them code.
    void data_block(char open, char close) {
        put(std::string(1, open).c_str());
        const int n = static_cast<int>(r.below(5));
        ++depth;
        for (int i = 0; i < n && budget > 0; ++i) {
            if (depth < 5 && r.chance(30)) expression();
            else literal();
        }
        --depth;
        raw(std::string(1, close).c_str());
    }

    // A value made by an expression: objects, functions, typesets, maps...
    void made_value() {
        switch (r.below(9)) {
            case 0: put("make object! ["); fields(); raw("]"); break;
            case 1: function_value(); break;
            case 2: put("make typeset! ["); put(r.pick(datatypes)); put(r.pick(datatypes)); raw("]"); break;
            case 3: put("make bitset!"); put(r.chance(50) ? r.pick(strings) : "[#\"a\" - #\"z\"]"); break;
            case 4: put("make map! [a 1 \"b\" 2]"); break;
            case 5: put("make hash! ["); literal(); literal(); raw("]"); break;
            case 6: put("make error! "); put(r.chance(50) ? "\"oops\"" : "[type: 'math id: 'zero-divide]"); break;
            case 7: put("context ["); fields(); raw("]"); break;
            default: put("make "); put(r.pick(datatypes)); literal(); break;
        }
    }

    void fields() {
        const int n = static_cast<int>(r.below(4));
        for (int i = 0; i < n && budget > 0; ++i) {
            put(i == 0 ? "a:" : r.chance(50) ? "b:" : std::string(r.pick(parameters)) + ":");
            expression();
        }
        if (r.chance(30)) {
            put("m: func [v]");
            guarded_body();
        }
    }

    // A value of one of the spec's types, most of the time.
    void typed_value(const argument& a) {
        if (a.name == "type" && r.chance(70)) {
            put(r.pick(datatypes));
            return;
        }
        std::string t = a.types.empty() ? "any-type!" : a.types[r.below(static_cast<uint32_t>(a.types.size()))];
        if (r.chance(20)) t = "any-type!";
        if (t == "integer!") put(r.chance(50) ? std::to_string(static_cast<int>(r.below(8)) - 2) : r.pick(integers));
        else if (t == "float!" || t == "number!" || t == "percent!") put(r.pick(floats));
        else if (t == "string!" || t == "any-string!") put(r.pick(strings));
        else if (t == "block!" || t == "any-block!" || t == "any-list!") code_block();
        else if (t == "series!") r.chance(50) ? code_block() : put(r.pick(strings));
        else if (t == "word!" || t == "any-word!") put(a.kind == '\'' ? std::string(r.pick(variables)) : "'" + std::string(r.pick(variables)));
        else if (t == "char!") put(r.pick(chars));
        else if (t == "logic!") put(r.chance(50) ? "true" : "false");
        else if (t == "none!") put("none");
        else if (t == "object!" || t == "any-object!") r.chance(50) ? put("o") : made_value();
        else if (t == "function!" || t == "any-function!") r.chance(50) ? function_value() : put(":" + any_callable().name);
        else if (t == "datatype!") put(r.pick(datatypes));
        else if (t == "typeset!") put("make typeset! [integer! string!]");
        else if (t == "time!") put(r.chance(50) ? "12:30" : "-0:00:01");
        else if (t == "file!") put("%file.txt");
        else if (t == "url!") put("http://example.com/x");
        else if (t == "refinement!") put("/part");
        else if (t == "paren!") data_block('(', ')');
        else if (t == "bitset!") put("make bitset! \"abc\"");
        else if (t == "map!") put("make map! [a 1]");
        else if (t == "binary!") put("#{00FF10}");
        else if (t == "pair!") put("1x2");
        else if (t == "issue!") put("#abc");
        else if (t == "any-path!" || t == "path!") put("'" + path_text());
        else if (t == "scalar!") put(r.chance(50) ? r.pick(integers) : r.pick(chars));
        else if (r.chance(30)) expression();
        else literal();
    }

    // --- code ----------------------------------------------------------------

    void code_block() {
        put("[");
        ++depth;
        body();
        --depth;
        raw("]");
    }

    void body() {
        const int n = static_cast<int>(r.below(3)) + (depth < 4 ? 1 : 0);
        for (int i = 0; i < n && budget > 0; ++i) expression();
    }

    void call(const callable& c) {
        --budget;
        std::string name = c.name;
        std::vector<const refinement*> used;
        for (const refinement& f : c.refinements)
            if (r.chance(25)) {
                name += "/" + f.name;
                used.push_back(&f);
            }
        if (r.chance(3)) name += "/nosuch";
        put(name);
        for (const argument& a : c.args) argument_value(a);
        for (const refinement* f : used)
            for (const argument& a : f->args) argument_value(a);
    }

    void argument_value(const argument& a) {
        if (r.chance(3)) return;  // one too few
        if (a.kind == '\'') {
            r.chance(80) ? put(r.pick(variables)) : literal();
        } else if (a.kind == ':') {
            r.chance(50) ? put(r.pick(variables)) : literal();
        } else if (depth < 6 && r.chance(25)) {
            ++depth;
            expression();
            --depth;
        } else if (r.chance(20)) {
            put(r.pick(variables));
        } else {
            typed_value(a);
        }
    }

    void function_value() {
        static const char* const makers[] = {"func", "function", "does", "has", "func"};
        const char* m = r.pick(makers);
        put(m);
        if (std::strcmp(m, "does") != 0) {
            put("[");
            const int n = static_cast<int>(r.below(3));
            for (int i = 0; i < n; ++i) put(parameters[i]);
            if (std::strcmp(m, "has") != 0) {
                if (r.chance(30)) {
                    put("/r");
                    put(parameters[3]);
                }
                if (r.chance(20)) put("[integer!]");
                if (r.chance(20)) put("/local w");
            }
            raw("]");
        }
        guarded_body();
    }

    void guarded_body() {
        put("[");
        put(call_guard);
        ++depth;
        body();
        --depth;
        raw("]");
    }

    std::string guard() {
        const std::string g = "fz" + std::to_string(++counter);
        put(g + ": 0");
        return g;
    }

    // A series for a loop to walk: a copy, so that a body that inserts into
    // the series it walks (a loop that never ends, rightly) cannot reach it.
    void series_to_walk() {
        put("copy");
        switch (r.below(3)) {
            case 0: data_block('[', ']'); break;
            case 1: put(r.pick(strings)); break;
            default: put(r.pick(variables)); break;
        }
    }

    // Functions that C++ calls back: comparators, change handlers, tracers,
    // with control codes and errors in them.
    // A series expression: a literal, a variable, or a position in one.
    void series_value() {
        static const char* const series[] = {"[1 2 3 4 5]", "\"abcde\"", "\"h\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\"", "[]", "\"\"",
                                             "[a [b c] (d) \"e\" #\"f\"]", "#{0102FF}", "%dir/file.txt",
                                             "http://example.com/a?b", "'a/b/c", "make hash! [a 1 b 2]",
                                             "[1 1 2 2 3 3]", "\"aAbBcC\""};
        switch (r.below(4)) {
            case 0: put("copy"); put(r.pick(series)); break;
            case 1: put(r.pick(variables)); break;
            case 2: put(r.chance(50) ? "skip" : "at"); put(r.pick(series)); put(r.pick(integers)); break;
            default: put(r.pick(series)); break;
        }
    }

    // Boundary cases: positions past a tail, a series given to itself,
    // arithmetic at the ends of the ranges, conversions between any types.
    void boundary() {
        static const char* const series_ops[] = {"append", "insert", "change", "swap", "move", "copy/part",
                                                 "append/part", "insert/part", "change/part", "find/part",
                                                 "remove/part", "take/part", "reverse/part", "sort/part",
                                                 "uppercase/part", "union", "intersect", "difference",
                                                 "exclude", "append/dup", "insert/dup", "at", "skip"};
        switch (r.below(8)) {
            case 0: {  // a position past the tail after the series shrank
                const char* v = r.chance(50) ? "x" : "str";
                put("fzp: skip");
                put(std::string(v) + ":");
                put(r.chance(50) ? "copy [1 2 3 4 5]" : "copy \"abcde\"");
                put(std::to_string(r.below(7)));
                if (r.chance(50)) {
                    put("clear");
                    put(v);
                } else {
                    put("remove/part");
                    put(v);
                    put(std::to_string(r.below(5)));
                }
                const callable& c = any_callable();
                put(looper_q(c.name) ? "length?" : c.name.c_str());
                if (!c.infix && !looper_q(c.name) && !c.args.empty()) {
                    put("fzp");
                    for (size_t i = 1; i < c.args.size(); ++i) argument_value(c.args[i]);
                }
                break;
            }
            case 1: {  // a series with itself or a position in itself
                const std::string op = r.pick(series_ops);
                const std::string v = r.pick(variables);
                put(op);
                put(v);
                put(r.chance(50) ? v : r.chance(50) ? "next " + v : "tail " + v);
                if (op.find("/part") != std::string::npos || op.find("/dup") != std::string::npos)
                    put(r.pick(integers));
                break;
            }
            case 2: {  // arithmetic at the ends
                static const char* const ends[] = {"2147483647", "-2147483648", "-1", "0", "1e308", "-1e308",
                                                   "4.9e-324", "-0.0", "1.#INF", "1.#NaN", "#\"^(10FFFF)\"",
                                                   "#\"^@\"", "23:59:59", "-2147483647:00", "2147483647:00",
                                                   "0:00:00.000000001", "1x2", "2147483647x-2147483648", "100%"};
                static const char* const fns[] = {"add", "subtract", "multiply", "divide", "remainder", "power",
                                                  "absolute", "negate", "round", "round/to", "even?", "odd?",
                                                  "and~", "or~", "xor~", "complement", "to-hex", "shift",
                                                  "min", "max", "sign?", "zero?", "square-root", "log-e", "exp",
                                                  "arctangent2", "sine", "as-pair", "negative?", "random"};
                const char* f = r.pick(fns);
                put(f);
                put(r.pick(ends));
                static const char* const unary[] = {"absolute", "negate", "round", "even?", "odd?", "complement",
                                                    "to-hex", "sign?", "zero?", "square-root", "log-e", "exp",
                                                    "sine", "negative?", "random"};
                bool one = false;
                for (const char* u : unary) one = one || std::strcmp(u, f) == 0;
                if (!one) put(r.pick(ends));
                break;
            }
            case 3: case 4: {  // conversions
                put(r.chance(60) ? "to" : "make");
                put(r.pick(datatypes));
                if (r.chance(70)) literal();
                else made_value();
                break;
            }
            case 5: {  // a path into a series or an object, read or set
                const bool object = r.chance(50);
                if (object) {
                    put("o: make object! [a: [1 2 [3 4]] b: \"str\" c: none]");
                } else {
                    put("x:");
                    series_value();
                }
                std::string p = object ? "o" : "x";
                for (int i = 0, n = 1 + static_cast<int>(r.below(3)); i < n; ++i) {
                    p += "/";
                    switch (r.below(5)) {
                        case 0: p += r.pick(integers); break;
                        case 1: p += "a"; break;
                        case 2: p += "(" + std::string(r.pick(integers)) + ")"; break;
                        case 3: p += ":n"; break;
                        default: p += "b"; break;
                    }
                }
                put(r.chance(50) ? p + ":" : p);
                if (out.back() == ':') literal();
                break;
            }
            case 6: series_value(); break;
            default: {  // a series action over a series, every refinement at random
                const callable& c = any_callable();
                if (c.infix || looper_q(c.name) || c.args.empty()) {
                    put("length?");
                    series_value();
                    break;
                }
                std::string name = c.name;
                std::vector<const refinement*> used;
                for (const refinement& f : c.refinements)
                    if (r.chance(40)) {
                        name += "/" + f.name;
                        used.push_back(&f);
                    }
                put(name);
                series_value();
                for (size_t i = 1; i < c.args.size(); ++i) argument_value(c.args[i]);
                for (const refinement* f : used)
                    for (const argument& a : f->args) r.chance(60) ? put(r.pick(integers)) : argument_value(a);
                break;
            }
        }
    }

    // --- functions that change nothing outside their frame -------------------
    // Their calls run first from a compiled form and give up on anything
    // uncommon: operands of mixed types, unset values, a division by zero,
    // an operator or a function redefined between calls, a body changed.

    void pure_term(int level, bool recursive) {
        static const char* const leaves[] = {"n", "a", "0", "1", "2", "-3", "2147483647", "1.5", "0.0",
                                             "none", "true", "\"s\"", "1x2", "1.2.3", "$1", "fzg",
                                             "-2147483648"};
        if (level <= 0) {
            put(r.pick(leaves));
            return;
        }
        switch (r.below(recursive ? 10 : in_pf2 ? 5 : 7)) {
            case 0: case 1: put(r.pick(leaves)); break;
            case 2: put("("); out.pop_back(); raw("("); pure_expr(level - 1, recursive); raw(")"); break;
            case 3:
                put("either"); pure_expr(level - 1, recursive);
                pure_block(level - 1, recursive); pure_block(level - 1, recursive);
                break;
            case 4: put(r.chance(50) ? "if" : "unless"); pure_expr(level - 1, recursive); pure_block(level - 1, recursive); break;
            case 5: put("pf2"); pure_expr(level - 1, false); pure_expr(level - 1, false); break;
            case 6: put(r.chance(70) ? "return" : "exit"); if (out.compare(out.size() - 6, 6, "return") == 0) pure_expr(level - 1, recursive); break;
            case 7:
                // a return met while a callee's arguments are fetched leaves the caller
                put("pf2 (either n > 1 [return"); pure_expr(level - 1, false); raw("] [n])"); pure_expr(level - 1, false);
                break;
            default:
                // recursion only below a test that the count went down
                put("either n > 0 [pf1 n - 1] [");
                pure_expr(level - 1, false);
                raw("]");
                break;
        }
    }
    void pure_expr(int level, bool recursive) {
        static const char* const ops[] = {"+", "-", "*", "%", "<", ">", "=", "<>", "<=", ">=", "and"};
        pure_term(level, recursive);
        for (uint32_t k = r.below(3); k > 0; --k) {
            put(r.pick(ops));
            pure_term(level - 1, recursive);
        }
    }
    void pure_block(int level, bool recursive) {
        put("[");
        for (uint32_t k = r.below(3); k > 0; --k) {
            if (r.chance(30)) put("a:");
            pure_expr(level, recursive);
        }
        raw("]");
    }
    bool in_pf2 = false;  // pf2 calls no function: nothing ends its recursion
    void pure_functions() {
        static const char* const args[] = {"0", "1", "3", "5", "-1", "1.5", "\"x\"", "none", "()", "2147483647"};
        put("fzg:"); put(r.pick(args));
        in_pf2 = true;
        put(r.chance(70) ? "pf2: func [n a] [" : "pf2: func [n [integer!] a [number! none!]] [");
        pure_expr(2, false);
        raw("]");
        in_pf2 = false;
        put("pf1: func [n /twice /by m /local a] [a: n if twice [n: n * 2] if by [n: n + m]");
        for (uint32_t k = 1 + r.below(2); k > 0; --k) pure_expr(3, true);
        raw("]");
        put("fzp: reduce [pf1"); put(r.pick(args)); put("pf1/twice"); put(r.pick(args));
        put("pf2"); put(r.pick(args)); put(r.pick(args)); raw("]");
        switch (r.below(11)) {
            case 0: put("fzs: 0 repeat fzi 4 [fzs: fzs + (pf1 fzi)]"); break;
            case 1: put("fzs: 0 repeat fzi 3 [fzs: fzs + (pf1/twice fzi) - fzi]"); break;
            case 2: put("fzo: :+ set '+ make op! :subtract attempt [pf1 2] set '+ :fzo"); break;
            case 3: put("pf2: func [n a] [n] pf1 3"); break;
            case 4: put("fzs: 0 repeat fzi 3 [fzs: fzs + (pf1/by/twice fzi"); put(r.pick(args)); raw(")]"); break;
            // the value the body reads changes type between calls
            case 5: put("attempt [pf1 2] fzg:"); put(r.pick(args)); put("pf1 2"); break;
            case 6: put("attempt [pf1 2] recycle pf1 2"); break;
            case 7: put("attempt [pf1 2] attempt [bind pick body-of :pf1 "); put(std::to_string(1 + r.below(12))); put("make object! [n: 7 a: 8]] pf1 2"); break;
            // deep enough at times to meet the limits the attempt must stop short of
            case 8: put("attempt [pf1 3] pf1"); put("100000"); break;
            case 9: put("fzo: :either set 'either func [c t f] [1] attempt [pf1 2] set 'either :fzo pf1 2"); break;
            default: put("attempt [poke body-of :pf1 "); put(std::to_string(1 + r.below(6))); put(r.pick(args)); raw("] pf1 4"); break;
        }
    }

    void special() {
        switch (r.below(15)) {
            case 14: pure_functions(); break;
            case 13: {
                // Recursion through one kind of frame, deep enough at times to
                // meet the mark limit, ended by a signal or an error.
                static const char* const wraps[] = {
                    "rec n - 1", "1 + rec n - 1", "(rec n - 1)", "if true [rec n - 1]", "either n > 0 [rec n - 1] [0]",
                    "loop 1 [rec n - 1]", "x: rec n - 1", "add 0 rec n - 1", "while [true] [break/return rec n - 1]",
                    "repeat i 1 [rec n - i]", "foreach v [1] [rec n - v]", "do [rec n - 1]", "1 + (2 * rec n - 1)",
                    "until [rec n - 1 true]"};
                static const char* const ends[] = {"return 1", "throw 2", "1 / 0", "exit", "break", "continue",
                                                   "make error! {deep}", "3", "throw/name 4 'x", "undefined-word"};
                static const char* const depths[] = {"1", "7", "300", "2000", "100000"};
                put("rec: func [n /local x] [either n = 0 [");
                const char* end = r.pick(ends);
                const char* wrap = r.pick(wraps);
                // `continue` inside `while [true]` or `until [... true]` starts the
                // round again for ever
                if (std::strcmp(end, "continue") == 0 &&
                    (std::strncmp(wrap, "while", 5) == 0 || std::strncmp(wrap, "until", 5) == 0))
                    end = "break";
                put(end);
                raw("] [");
                put(wrap);
                raw("]]");
                put(r.chance(50) ? "catch [try [rec" : "catch/name [attempt [rec");
                put(r.pick(depths));
                raw(r.chance(50) ? "]]" : "]] 'x");
                break;
            }
            case 0: case 1:
                put(r.chance(50) ? "sort/compare" : r.chance(50) ? "sort/compare/stable" : "sort/skip/compare");
                put(r.chance(50) ? "copy [3 1 2 5 4 3]" : r.chance(50) ? "copy \"hello\"" : "copy [b 2 a 1 c 3]");
                if (out.find("sort/skip") != std::string::npos && out.compare(out.size() - 5, 5, "3]") == 0) put("2");
                if (r.chance(75)) {
                    put("func [a b]");
                    guarded_body();
                } else {
                    put(r.chance(50) ? ":lesser?" : r.chance(50) ? "2" : "[a b]");
                }
                break;
            case 2: case 3:
                put("o: make object! [a: 1 b: [1 2] log: copy [] on-change*: func [w old new]");
                guarded_body();
                raw("]");
                put(r.chance(50) ? "o/a: 5" : r.chance(50) ? "set/some o [5 6]" : "set in o 'b 7");
                break;
            case 10: case 11: case 6:
                randomly_traced = true;
                put("do/trace");
                code_block();
                put(r.chance(80) ? "func [event code offset value [any-type!] ref frame] [" : "func [event] [");
                {
                    static const char* const events[] = {"init", "end", "prolog", "epilog", "enter", "exit",
                                                         "open", "return", "fetch", "push", "set", "call",
                                                         "throw", "catch", "expr", "error"};
                    put("[");
                    put(r.pick(events));
                    raw("]");
                }
                put(call_guard);
                put("if 0 = random 4 [");
                control_code();
                raw("]");
                body();
                raw("]");
                break;
            case 4: case 5:
                put("o: make object! [items: [1 2] s: \"ab\" on-deep-change*: func [owner word target action new index part]");
                guarded_body();
                raw("]");
                {
                    static const char* const changes[] = {"append o/items 9", "clear o/items", "insert o/s #\"x\"",
                                                          "remove o/items", "take/last o/items", "o/items/1: 5",
                                                          "reverse o/items", "sort o/items", "poke o/s 1 #\"z\"",
                                                          "change o/items [7 8 9]", "append/dup o/s \"yz\" 3"};
                    put(r.pick(changes));
                }
                break;
            case 12:
                randomly_traced = true;
                put("do/trace");
                code_block();
                put(r.chance(80) ? "func [event code offset value [any-type!] ref frame] [" : "func [event] [");
                if (r.chance(70)) {
                    static const char* const events[] = {"init", "end", "prolog", "epilog", "enter", "exit",
                                                         "open", "return", "fetch", "push", "set", "call",
                                                         "throw", "catch", "expr", "error"};
                    put("[");
                    for (int i = 0, n = 1 + static_cast<int>(r.below(3)); i < n; ++i) put(r.pick(events));
                    raw("]");
                }
                put(call_guard);
                if (r.chance(40)) {
                    put("if 0 = random 3 [");
                    control_code();
                    raw("]");
                }
                body();
                raw("]");
                break;
            case 8:
                if (r.chance(50)) put("o: make object! [a: 1 b: \"x\" m: func [v] [v]]");
                put("o2: make o [a: 2 n: func [v] [a + v]]");
                put(r.chance(50) ? "o2/m 1" : r.chance(50) ? "o2/n 1" : "o2/a: o2/a + 1");
                put(r.chance(50) ? "same? :o/m :o2/m" : "o/m o2");
                break;
            case 7:
                put("apply");
                put(r.chance(50) ? ":append" : r.chance(50) ? "'f" : ":find");
                data_block('[', ']');
                break;
            case 9:
                put(r.chance(50) ? "do/next" : "do/args");
                code_block();
                put(r.pick(variables));
                break;
        }
    }

    // Code that changes the block it runs in, or a function that replaces
    // itself, between and during rounds: the decode of the block must never
    // outlive what it was made from.
    void changed_while_running() {
        const std::string b = "fzr" + std::to_string(++counter);
        put(b + ": [");
        // The change may land inside an error check of this block and rewrite
        // the check itself (its receiver replaced, its `fze` set to something
        // else): errors raised here are received but not checked.
        ++rewritten;
        expression();
        switch (r.below(8)) {
            case 0: put("append " + b + " ["); expression(); raw("]"); break;
            case 1: put("change at " + b + " " + std::to_string(1 + r.below(4)) + " ["); expression(); raw("]"); break;
            case 2: put("poke " + b + " " + std::to_string(1 + r.below(4)) + " '" + r.pick(variables)); break;
            case 3: put("clear " + b); break;
            case 4: put("remove " + b); break;
            case 5: put("insert " + b + " ["); expression(); raw("]"); break;
            case 6: put("bind " + b + " make object! [" + r.pick(variables) + ": 1]"); break;
            default: put("f: func [p] [f: func [p] [p * 2] p + 1]"); break;
        }
        expression();
        --rewritten;
        raw("]");
        switch (r.below(4)) {
            case 0: put("loop 3 " + b); break;
            case 1: put("repeat fzi 3 [do " + b + "]"); break;
            case 2: put("fzk: 0 while [(fzk: fzk + 1) < 4] " + b); break;
            default: put("reduce [do " + b + " do " + b + "]"); break;
        }
    }

    void loop_template() {
        switch (r.below(10)) {
            case 0: put("loop"); put(pick_n(r, integers, 6)); code_block(); break;
            case 1: put("repeat"); put(r.pick(variables)); put(std::to_string(static_cast<int>(r.below(5)) - 1)); code_block(); break;
            case 2: put("foreach"); put(r.chance(70) ? r.pick(variables) : "[x y]"); series_to_walk(); code_block(); break;
            case 3: {
                const std::string g = guard();
                put("while [all [(" + g + ": " + g + " + 1) < 4");
                expression();
                raw("]]");
                code_block();
                break;
            }
            case 4: {
                const std::string g = guard();
                put("until [if (" + g + ": " + g + " + 1) > 3 [break]");
                body();
                raw("]");
                break;
            }
            case 5: {
                const std::string g = guard();
                put("forever [if (" + g + ": " + g + " + 1) > 3 [break]");
                body();
                raw("]");
                break;
            }
            case 6: {
                const std::string g = "fz" + std::to_string(++counter);
                put(g + ":");
                series_to_walk();
                put("forall");
                put(g);
                code_block();
                break;
            }
            case 7: put("remove-each"); put(r.pick(variables)); series_to_walk(); code_block(); break;
            case 8: put("loop 2"); code_block(); break;
            case 9: if (r.chance(60)) { changed_while_running(); break; } [[fallthrough]];
            default: put("foreach [k v]"); put(r.chance(50) ? "o" : "[a 1 b 2 c]"); code_block(); break;
        }
    }

    static const char* pick_n(rng& g, const char* const* list, size_t n) { return list[g.below(static_cast<uint32_t>(n))]; }

    // --- errors under every kind of frame -------------------------------------

    // An expression that raises a known error, with its id: the interpreter's
    // own errors, the division errors, path errors and a raised error! value.
    struct known_error {
        const char* code;
        const char* id;
    };
    // The checks name datatypes and none by their literal forms
    // (#(object!), #(none)): a program may have set those words to anything.
    known_error raise_known() {
        static const known_error raises[] = {
            {"1 / 0", "zero-divide"},          {"remainder 7 0", "zero-divide"},
            {"-2147483648 / -1", "overflow"},  {"fzundefined", "no-value"},
            {"append 1 2", "expect-arg"},      {"(append)", "no-arg"},
            {"(fzz:)", "need-value"},          {"(+ 1)", "no-op-arg"},
            {"(fzo2: make #(object!) [a: 1] fzo2/nosuch)", "unset-path"},
            {"do make error! \"fz\"", "message"}, {"1 + #(none)", "expect-arg"},
            {"(fzo2: make #(object!) [a: 1] fzo2/nosuch: 1)", "invalid-path"},
            {"(fzo2: make #(object!) [a: 1] fzo2/a: () fzo2/a)", "unset-path"},
            {"(fzq: #(none) fzq/a)", "bad-path-type"},   {"(fzq: [1] fzq/1/a: 2)", "bad-path-type"},
        };
        return raises[r.below(static_cast<uint32_t>(std::size(raises)))];
    }

    // The raise of `e` under one kind of frame, always reached.
    void error_frame(const known_error& e) {
        const std::string x = e.code;
        switch (r.below(14)) {
            case 0: put("loop 2 [" + x + "]"); break;
            case 1: put("repeat fzi 2 [" + x + "]"); break;
            case 2: put("foreach fzv [1 2] [fzf: func [p] [either p > 1 [" + x + "] [p]] fzf fzv]"); break;
            case 3: put("fzn: 0 while [true] [fzn: fzn + 1 if fzn = 2 [" + x + "]]"); break;
            case 4: put("fzf: func [p] [p + 1 " + x + "] fzf 1"); break;
            case 5: put("1 + (2 * (" + x + "))"); break;
            case 6: put("sort/compare copy [3 1 2] func [a b] [" + x + "]"); break;
            case 7: put("sort/compare copy \"cab\" func [a b] [" + x + "]"); break;
            case 8: put("fzo: make #(object!) [a: 1 on-change*: func [w old new] [" + x + "]] fzo/a: 2"); break;
            case 9: put("fzo: make #(object!) [a: 1 on-change*: func [w old new] [" + x + "]] set in fzo 'a 3"); break;
            case 10:
                put("do/trace [1 + 2] func [event code offset value [any-type!] ref frame] [[expr] " + x + "]");
                break;
            case 11: put("try [" + x + "] " + x); break;
            case 12: put("catch [" + x + "]"); break;
            default: put("reduce [1 (" + x + ") 3]"); break;
        }
    }

    // An error raised under a frame, received, and then checked by the
    // program itself: the receiver got an error! of the expected id and the
    // code after it runs with the stacks in order. A failed check sets
    // `fzbad`, which the driver reads. (Skipped where the program traces at
    // random: a tracer of its own would see the events first.)
    void received_error() {
        const known_error e = raise_known();
        static const char* const receivers[] = {"fze: try [", "fze: try/all [", "fze: try [catch [", "fze: try [loop 1 ["};
        const uint32_t k = r.below(4);
        // The receiver and its check stand in one paren: an expression before
        // them that takes the next value as it stands (`quote`) then takes
        // both or neither, never the set-word alone, which left the check
        // reading an `fze` nothing had set.
        put("(");
        put(receivers[k]);
        ++depth;
        error_frame(e);
        --depth;
        raw(k >= 2 ? "]]" : "]");
        if (rewritten == 0)
            put(std::string("if not any [fzany all [#(error!) = type? :fze fze/id = '") + e.id +
                " [1 2 3] = reduce [1 (1 + 1) 3] 6 = fzsum [1 2 3]]] [fzbad: true]");
        raw(")");
    }

    void control_code() {
        switch (r.below(11)) {
            case 0: case 1: put("break"); break;
            case 2: put("break/return"); literal(); break;
            case 3: put("continue"); break;
            case 4: case 5: put("return"); literal(); break;
            case 6: put("exit"); break;
            case 7: put("throw"); literal(); break;
            case 8: put("throw/name"); literal(); put(r.pick(throw_names)); break;
            case 9: put("do make error! \"raised\""); break;
            default: put(r.chance(50) ? "do [break]" : "if true [continue]"); break;
        }
    }

    // `parse` with rules of its own: every keyword but `while`, over a
    // rule that consumes nothing it loops for ever. insert and change stand
    // only at the top of the rules, where no repetition or search re-runs
    // them over the text they lengthen.
    void parse_template() {
        static const char* const refinements[] = {"parse", "parse", "parse/case", "parse/part"};
        const char* how = r.pick(refinements);
        put(how);
        switch (r.below(4)) {
            case 0: put("copy [1 a \"s\" [2 b] #{01} 3.5 a]"); break;
            case 1: put("copy \"aAb,c d;1<t>\""); break;
            case 2: put("copy #{61620A00FF}"); break;
            default: series_to_walk(); break;
        }
        put("[");
        parse_rules(0, true);
        raw("]");
        if (std::strcmp(how, "parse/part") == 0) put(std::to_string(static_cast<int>(r.below(8)) - 1));
    }
    void parse_rules(int level, bool top) {
        const int n = 1 + static_cast<int>(r.below(4));
        for (int i = 0; i < n; ++i) {
            if (i > 0 && r.chance(15)) put("|");
            parse_rule(level, top);
        }
    }
    void parse_block(int level) {
        put("[");
        parse_rules(level + 1, false);
        raw("]");
    }
    void parse_rule(int level, bool top) {
        static const char* const atoms[] = {"skip", "end", "none", "fail", "break", "reject", "\"a\"", "\"ab\"",
                                            "#\"a\"", "#\"b\"", "integer!", "word!", "any-string!", "'a",
                                            "quote 1", "<t>", "#{01}", "(charset \"ab,\")", "[fail]", "[]",
                                            "if (true)", "if (none)", "x:", ":x", "(x: 1)", "blk", "a", "1"};
        static const char* const commands[] = {"any", "some", "opt", "2", "0", "1 3", "0 2", "to", "thru", "not",
                                               "ahead", "copy x", "set y", "remove", "case on", "case off",
                                               "keep", "keep pick", "collect", "collect set z", "collect into blk",
                                               "collect after str", "into"};
        if (level > 4 || r.chance(40)) {
            put(r.pick(atoms));
            return;
        }
        if (top && r.chance(15)) {
            if (r.chance(50)) {
                put(r.chance(50) ? "insert" : "insert only");
                put(r.chance(50) ? "\"z\"" : "[q]");
            } else {
                put(r.chance(50) ? "change" : "change only");
                parse_rule(level + 1, false);
                put(r.chance(50) ? "\"z\"" : "(1 + 1)");
            }
            return;
        }
        if (r.chance(20)) {
            parse_block(level);
            return;
        }
        const char* c = r.pick(commands);
        put(c);
        if (std::strcmp(c, "into") == 0 || r.chance(40)) parse_block(level);
        else if (std::strncmp(c, "keep", 4) == 0 && r.chance(30)) put("(x)");
        else parse_rule(level + 1, false);
    }

    void expression() {
        if (budget <= 0 || depth > 8) {
            literal();
            return;
        }
        --budget;
        const uint32_t k = r.below(100);
        if (k < 34) {
            if (r.chance(4)) {  // one word among hundreds: parse gets a share of its own
                parse_template();
                return;
            }
            const callable& c = any_callable();
            if (looper_q(c.name)) {
                loop_template();
                return;
            }
            if (c.name == "parse" && r.chance(80)) {
                parse_template();
                return;
            }
            if (c.infix) {
                ++depth;
                literal();
                put(c.name);
                expression();
                --depth;
            } else {
                ++depth;
                call(c);
                --depth;
            }
        } else if (k < 48) {
            literal();
        } else if (k < 54) {
            put(r.pick(variables));
        } else if (k < 62) {
            put(std::string(r.pick(variables)) + ":");
            expression();
        } else if (k < 66) {
            put(path_text() + ":");
            expression();
        } else if (k < 70) {
            put(r.chance(50) ? path_text() : ":" + path_text());
        } else if (k < 76) {
            ++depth;
            literal();
            put(r.pick(ops));
            expression();
            --depth;
        } else if (k < 82) {
            ++depth;
            loop_template();
            --depth;
        } else if (k < 86) {
            control_code();
        } else if (k < 90) {
            ++depth;
            switch (r.below(8)) {
                case 6: case 7: received_error(); break;
                case 0: put("try"); code_block(); break;
                case 1: put("try/all"); code_block(); break;
                case 2: put("catch"); code_block(); break;
                case 3: put("catch/name"); code_block(); put(r.chance(50) ? r.pick(throw_names) : "[tag foo]"); break;
                case 4: put("either error! = type? try"); code_block(); put("[none] [1]"); break;
                default: put("do"); code_block(); break;
            }
            --depth;
        } else if (k < 95) {
            ++depth;
            made_value();
            --depth;
        } else if (k < 96 && r.chance(15)) {
            // a run of values and words with no plan: arguments missing,
            // operators first, refinements and set-words where they fall
            size_t wanting = 0;  // arguments the last callables may still take
            for (int i = 0, n = 3 + static_cast<int>(r.below(10)); i < n; ++i) {
                if (r.chance(30)) {
                    const callable& c = any_callable();
                    put(c.name);
                    wanting = std::max(wanting, c.args.size());
                } else if (r.chance(10)) {
                    put(r.pick(ops));
                } else {
                    literal();
                }
                if (wanting) --wanting;
                if (looper_q(out.substr(out.rfind(' ') + 1))) out += "/nosuch";  // not a loop
            }
            // Values for the arguments still missing: one taken literally
            // (`help 'word`) would otherwise take the set-word of the next
            // expression, and a check the program makes later would fail.
            while (wanting--) literal();
        } else if (k < 96 && r.chance(40)) {
            ++depth;
            special();
            --depth;
        } else if (k < 96 && r.chance(70)) {
            ++depth;
            boundary();
            --depth;
        } else if (k < 96 && r.chance(25)) {
            // recursion without a guard: the stacks overflow, once
            static const char* const recursions[] = {
                "fr: func [p] [fr p] fr 1", "fr: func [p] [try [fr p]] fr 1", "fr: does [1 + fr] fr",
                "fr: func [p] [loop 2 [fr p]] fr 1", "fb: [do fb] do fb", "fr: func [p] [fr fr p] fr 1",
                "fr: func [p] [reduce [fr p]] fr 1", "fr: func [p] [catch [fr p]] fr 1",
                "fr: func [p] [append [] fr p] fr 1", "fr: func [p] [either p [fr p] [0]] fr true"};
            put(r.pick(recursions));
        } else if (k < 98) {
            // a local function and a call of it
            put("f:");
            ++depth;
            function_value();
            --depth;
            put("f");
            for (int i = 0, n = static_cast<int>(r.below(3)); i < n; ++i) literal();
        } else {
            put("(");
            ++depth;
            body();
            --depth;
            raw(")");
        }
    }

    std::string program() {
        put("fzc: 0 fzsum: func [b /local t] [t: 0 foreach i b [t: t + i] t]");
        // Some variables start with values.
        for (const char* v : variables)
            if (r.chance(25)) {
                put(std::string(v) + ":");
                if (std::strcmp(v, "o") == 0) {
                    put("make object! [a: 1 b: \"x\" m: func [v] [v]]");
                } else if (std::strcmp(v, "f") == 0 || std::strcmp(v, "g") == 0) {
                    function_value();
                } else if (r.chance(70)) {
                    r.chance(50) ? data_block('[', ']') : put(r.pick(strings));
                } else {
                    literal();
                }
            }
        // The statements, most of them under a try of their own so that
        // an early error leaves the later ones something to do.
        const int n = 1 + static_cast<int>(r.below(5));
        for (int i = 0; i < n && budget > 0; ++i) {
            const bool own = r.chance(60);
            if (own) put(r.chance(50) ? "try [" : "try/all [");
            expression();
            if (own) raw("]");
        }
        return std::string(randomly_traced ? "fzany: true " : "fzany: false ") + out;
    }
};

// --- set-up ----------------------------------------------------------------------------------

std::string form_of(const std::string& source) {
    const run_result r = run_source(source, true);
    return r.how == outcome::value ? r.text : "";
}

void discover_vocabulary() {
    const uint32_t g = kel::_context::global();
    const int32_t n = kel::_context::length(g);
    std::vector<std::string> names;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value v = kel::_context::values(g)[i];
        const uint32_t t = kel::type_of(&v);
        if (t != types::native && t != types::action && t != types::op && t != types::function &&
            t != types::routine)
            continue;
        const kel_value* w = kel::context_ops::word_at(g, i);
        uint32_t len = 0;
        const char* bytes = kel::symbol::name_bytes(kel::word_symbol(w), &len);
        names.emplace_back(bytes, len);
    }
    for (const std::string& name : names) {
        if (excluded_q(name)) continue;
        callable c;
        c.name = name;
        const std::string type = form_of("type? get pick [" + name + "] 1");
        c.infix = type == "op";
        read_spec(form_of("mold/flat reflect get pick [" + name + "] 1 'spec"), c);
        vocabulary.push_back(std::move(c));
    }
    size_t with_arguments = 0;
    for (const callable& c : vocabulary) with_arguments += !c.args.empty();
    if (vocabulary.size() < 100 || with_arguments < vocabulary.size() / 2)
        fail("the vocabulary was not read", std::to_string(vocabulary.size()) + " callables, " +
                                                std::to_string(with_arguments) + " with arguments");
    if (const char* v = std::getenv("EVALFUZZ_VOCABULARY"); v && *v)
        for (const callable& c : vocabulary) {
            std::string line = c.name + (c.infix ? " (infix)" : "") + ":";
            for (const argument& a : c.args) line += " " + std::to_string(a.types.size()) + a.kind;
            for (const refinement& f : c.refinements) line += " /" + f.name + "(" + std::to_string(f.args.size()) + ")";
            std::fprintf(stderr, "%s\n", line.c_str());
        }
}

const char* const sanity_source =
    "reduce [1 + 2 length? \"ab\xC3\xA9\" either true ['y] ['n] catch [throw 4] loop 3 [break/return 5] "
    "(f: func [p] [p * 2] f 3) error! = type? try [1 / 0] mold [a \"b\" #\"c\"]]";
const char* const sanity_answer = "3 3 y 4 5 6 true [a \"b\" #\"c\"]";

long cases = 0;
long outcomes[4] = {};  // by outcome, for EVALFUZZ_STATS
long caught = 0;        // values that were errors
uint32_t stress_every = 0;  // from the environment (applies to all programs)
bool print_programs = false;
std::string given_program;  // EVALFUZZ_PROGRAM=file: that program, every time
bool show_unloaded = false;  // EVALFUZZ_PRINT=unloaded: only the programs that did not load
long stress_period = 16;  // EVALFUZZ_STRESS_PERIOD: every how many programs the stress check runs (0: never)
int64_t slow_ms = 0;  // EVALFUZZ_SLOW: print programs that take this long
int program_size = 40;

void boot_once() {
    kel::runtime::record.stack_start = static_cast<char*>(__builtin_frame_address(0));
    kel::runtime::init();
    kel::boot::run();
    stress_every = kel::collector::stress_interval();
    kel::collector::set_stress(0);
    // Programs write nowhere but into a folder of their own, and print into nothing.
    char folder[] = "/tmp/kel-evalfuzz-XXXXXX";
    if (mkdtemp(folder) && chdir(folder) == 0) {
        // Left empty; removed at exit.
        static std::string path = folder;
        std::atexit([] { (void)rmdir(path.c_str()); });
    }
    holder = *kel::block::make_at_tail(nullptr, 2);
    const kel_value empty{types::unset, 0, 0, 0};
    kel::block::ks_add(&holder, &empty);
    null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    kel::std_output::set_descriptor(null_fd, false);
    discover_vocabulary();
    take_snapshot();
    // The handler runs on a stack of its own: a machine stack overflow leaves none.
    static char alternate[1 << 16];
    stack_t ss{};
    ss.ss_sp = alternate;
    ss.ss_size = sizeof alternate;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_fault;
    sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(s, &sa, nullptr);
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(print_current);
    if (const char* st = std::getenv("EVALFUZZ_STATS"); st && *st)
        std::atexit([] {
            std::fprintf(stderr, "evalfuzz: %ld programs: %ld gave a value (%ld of them an error), %ld raised, %ld did not load, %ld gave a code\n",
                         cases, outcomes[0], caught, outcomes[1], outcomes[2], outcomes[3]);
        });
    if (const char* g = std::getenv("EVALFUZZ_PROGRAM"); g && *g) {
        if (FILE* f = std::fopen(g, "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) given_program.append(buf, n);
            std::fclose(f);
        }
    }
    const char* p = std::getenv("EVALFUZZ_PRINT");
    show_unloaded = p && std::strcmp(p, "unloaded") == 0;
    print_programs = p && *p && std::strcmp(p, "0") != 0 && !show_unloaded;
    if (const char* z = std::getenv("EVALFUZZ_SIZE")) program_size = std::max(4, std::atoi(z));
    if (const char* w = std::getenv("EVALFUZZ_SLOW")) slow_ms = std::atoi(w);
    if (const char* w = std::getenv("EVALFUZZ_STRESS_PERIOD")) stress_period = std::max(0, std::atoi(w));
    int64_t limit = 60;
    if (const char* t = std::getenv("EVALFUZZ_TIMEOUT")) limit = std::max(1, std::atoi(t));
    std::thread(watchdog, limit * 1000).detach();
}

// The address sanitizer's frames are several times larger: the generic
// step, which recurses in C++, meets the machine stack's limit in the deep
// `rec` programs where the decoded one (its own frame records) does not, and
// the `try` or `attempt` around them swallows that overflow. Left out of the
// comparison there only.
bool deep_recursion_q(const std::string& source) {
#if defined(__SANITIZE_ADDRESS__)
    return source.find("[rec 2000") != std::string::npos || source.find("[rec 100000") != std::string::npos;
#else
    (void)source;
    return false;
#endif
}



}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool booted = false;
    if (!booted) {
        boot_once();
        booted = true;
    }
    uint64_t seed = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
    seed ^= static_cast<uint64_t>(size) << 32;
    rng r{seed | 1};
    generator gen(r, program_size);
    std::string program = gen.program();
    const uint32_t wrap = r.below(4);
    std::string source = wrap == 0 ? "try/all [" + program + "]"
                         : wrap == 1 ? "try [" + program + "]"
                         : wrap == 2 ? "try/all [catch [" + program + "]]"
                                     : "try/all [loop 1 [" + program + "]]";
    if (!given_program.empty()) source = given_program;

    const long number = cases++;
    current_length = std::min(source.size(), sizeof current_program);
    std::memcpy(current_program, source.data(), current_length);
    current_case.store(number);
    if (print_programs) {
        const std::string line = "#" + std::to_string(number) + ": " + source + "\n";
        write_err(line.data(), line.size());
    }
    const bool stressed = !stress_every && stress_period && number % stress_period == stress_period - 1;
    kel::collector::set_stress(stress_every ? stress_every : stressed ? 7 : 0);
    if (stressed) kel::collector::set_verify(true);
    case_started_ms.store(now_ms());
    case_started_cpu_ms.store(std::max<int64_t>(cpu_ms(), 1));
    // `recycle/off` in a program would leave the collector, and the stress
    // check with it, off for every later one.
    const bool collector_active = kel::collector::active_q();

    // Every 4th program also runs with decoding off, from the same globals:
    // the generic step is the truth the decoded one must agree with. Programs
    // that read the clock, the random generator, the collector's figures, the
    // argument stack (`pick-stack`) or class ids (each run makes new objects)
    // are left out of the comparison, and so are those that recurse until the
    // machine stack runs out (the two ways use different C++ frames, so the
    // overflow strikes at another depth).
    const bool compared = number % 4 == 3 && source.find("random") == std::string::npos &&
                          source.find("fr: ") == std::string::npos && source.find("fb: ") == std::string::npos &&
                          !reads_clock_q(source) && source.find("stats") == std::string::npos &&
                          source.find("recycle") == std::string::npos && source.find("checksum") == std::string::npos &&
                          source.find("class-of") == std::string::npos && source.find("pick-stack") == std::string::npos &&
                          !deep_recursion_q(source);
    run_result undecoded{outcome::value, ""};
    if (compared) {
        restore_globals();  // what the sanity expression left
        kel::decode::enabled = false;
        undecoded = run_source(source, true);
        kel::decode::enabled = true;
        restore_globals();
    }
    const run_result result = run_source(source, compared);
    kel::collector::set_active(collector_active);
    const bool overflowed = result.text.find("stack overflow") != std::string::npos ||
                            undecoded.text.find("stack overflow") != std::string::npos;
    if (compared && !overflowed && (result.how != undecoded.how || result.text != undecoded.text))
        fail("the decoded run differs from the generic one",
             "decoded: " + result.text + " | generic: " + undecoded.text);
    // A syntax error means a value form the lexer does not read (yet): the
    // program never ran, which is no fault of the runtime.
    ++outcomes[static_cast<int>(result.how)];
    if (show_unloaded && result.how == outcome::syntax) {
        const std::string line = "did not load: " + source + "\n";
        write_err(line.data(), line.size());
    }
    if (result.error) ++caught;
    // A check the program made of an error it received failed.
    const run_result checked = run_source("all [value? 'fzbad fzbad]", true);
    if (checked.how == outcome::value && checked.text == "true")
        fail("an error reached its receiver wrongly, or the code after it went wrong");
    restore_globals();
    const run_result sane = run_source(sanity_source, true);
    if (sane.how != outcome::value || sane.text != sanity_answer)
        fail("the sanity expression went wrong after the program", sane.text);
    if (slow_ms && now_ms() - case_started_ms.load() >= slow_ms) {
        const std::string line = "slow (" + std::to_string(now_ms() - case_started_ms.load()) + " ms" +
                                 (stressed ? ", stressed" : "") + "): " + source + "\n";
        write_err(line.data(), line.size());
    }
    case_started_ms.store(0);
    case_started_cpu_ms.store(0);
    kel::collector::set_stress(0);
    if (stressed) kel::collector::set_verify(false);
    current_case.store(-1);
    return 0;
}
