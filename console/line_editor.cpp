// line_editor: see line_editor.h.
#include "console/line_editor.h"

#include <histedit.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/routines.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "library/boot.h"
#include "platform/platform.h"
#include "platform/tty_guard.h"

namespace kel::console::line_editor {

namespace {

using routines::machine_value;

using platform::write_all;
using routines::answer_cell;
using routines::nothing;

std::string utf8_of(const kel_value* v) {
    kel_value text = *v;
    if (!in_family(type_of(&text), family::string_like)) return std::string();
    int32_t count = -1;
    const char* bytes = unicode::to_utf8(&text, &count);
    return std::string(bytes, static_cast<size_t>(count));
}

// Characters (code points) in UTF-8 bytes: every byte that does not continue
// a sequence starts one.
int32_t chars_in(const char* p, const char* end) {
    int32_t n = 0;
    for (; p < end; ++p)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++n;
    return n;
}

EditLine* editor = nullptr;
History* history_list = nullptr;
std::string prompt_text;
// The completion function of the line being read (an argument cell of the
// routine's call, so it stays rooted while libedit waits).
const kel_value* completer = nullptr;
// What the completion raised, to raise again after el_gets.
signal_code pending = signal_code::none;

char* prompt_of(EditLine*) { return const_cast<char*>(prompt_text.c_str()); }

// Tab: the completer is called with the whole line and the caret's offset;
// it answers none (nothing to do) or [new-line caret candidates], the
// candidates a text to show under the line, or none.
unsigned char complete_key(EditLine* el, int) {
    if (!completer || pending != signal_code::none) return CC_ERROR;
    const LineInfo* li = el_line(el);
    const std::string whole(li->buffer, static_cast<size_t>(li->lastchar - li->buffer));
    const int32_t caret = chars_in(li->buffer, li->cursor);
    const int32_t length = chars_in(li->buffer, li->lastchar);
    kel_value* const entry = stack::top();
    kel_value answer;
    set_none(&answer);
    const bool was_evaluating = runtime::evaluating.exchange(true);
    try {
        kel_value args[2];
        args[0] = *boot::push_os_text(whole.data(), whole.size());
        set_integer(&args[1], caret);
        kel_value* result = stack::push_unset();
        const kel_value name = *word::from_c_string("complete-input");
        const signal_code c = interpreter::call_function(completer, &name, args, 2, 0, result);
        if (c != signal_code::none) pending = c;
        else answer = *result;
    } catch (const kel_unwind& u) {
        pending = static_cast<signal_code>(u.code);
    }
    runtime::evaluating.store(was_evaluating);
    // The signal's value stays where the unwinding left it, for the raise
    // after el_gets.
    if (pending != signal_code::none) return CC_EOF;
    unsigned char done = CC_REFRESH;
    if (type_of(&answer) == types::block && block::ks_length_q(&answer) == 3) {
        kel_value* cells = block::ks_head(&answer);
        const std::string line = utf8_of(&cells[0]);
        const int32_t new_caret = type_of(&cells[1]) == types::integer ? static_cast<int32_t>(cells[1].w2) : 0;
        const std::string shown = utf8_of(&cells[2]);
        el_cursor(el, length - caret);
        el_deletestr(el, length);
        if (!line.empty()) el_insertstr(el, line.c_str());
        el_cursor(el, new_caret - chars_in(line.data(), line.data() + line.size()));
        if (type_of(&cells[2]) != types::none) {
            std_output::flush();
            const std::string text = "\n" + prompt_text + shown + "\n";
            write_all(1, text.data(), text.size());
            done = CC_REDISPLAY;
        }
    }
    stack::regs.top = entry;
    return done;
}

// Words for Ctrl+arrows and the word deletions: everything but these
// characters, so that a word stops at brackets, slashes and quotes.
bool word_delimiter(char c) { return c != '\0' && std::strchr("/\\^[](){}\"@:; \t", c) != nullptr; }

// The caret's character offset and the character offset where a word jump
// from it lands: leftwards over delimiters then word characters, rightwards
// the same forwards.
std::pair<int32_t, int32_t> word_jump(EditLine* el, bool left) {
    const LineInfo* li = el_line(el);
    std::vector<bool> delimiter;
    for (const char* p = li->buffer; p < li->lastchar; ++p)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) delimiter.push_back(word_delimiter(*p));
    const int32_t caret = chars_in(li->buffer, li->cursor);
    const auto size = static_cast<int32_t>(delimiter.size());
    int32_t i = caret;
    if (left) {
        while (i > 0 && delimiter[static_cast<size_t>(i - 1)]) --i;
        while (i > 0 && !delimiter[static_cast<size_t>(i - 1)]) --i;
    } else {
        while (i < size && delimiter[static_cast<size_t>(i)]) ++i;
        while (i < size && !delimiter[static_cast<size_t>(i)]) ++i;
    }
    return {caret, i};
}

unsigned char word_left_key(EditLine* el, int) {
    const auto [caret, to] = word_jump(el, true);
    el_cursor(el, to - caret);
    return CC_CURSOR;
}

unsigned char word_right_key(EditLine* el, int) {
    const auto [caret, to] = word_jump(el, false);
    el_cursor(el, to - caret);
    return CC_CURSOR;
}

unsigned char delete_word_left_key(EditLine* el, int) {
    const auto [caret, to] = word_jump(el, true);
    if (caret == to) return CC_NORM;
    el_deletestr(el, caret - to);
    return CC_REFRESH;
}

unsigned char delete_word_right_key(EditLine* el, int) {
    const auto [caret, to] = word_jump(el, false);
    if (caret == to) return CC_NORM;
    el_cursor(el, to - caret);
    el_deletestr(el, to - caret);
    return CC_REFRESH;
}

// A key that has nothing to do in a terminal line (Insert, the function
// keys, the page keys, keys with modifiers that have no binding).
unsigned char ignore_key(EditLine*, int) { return CC_NORM; }

// Every key sequence of the keyboard is taken whole: one the editor does not
// know would leave its tail ("~", ";2~") typed into the line. Sequences of
// xterm, rxvt and the Linux console, with the modifier forms 2 to 8.
void bind_key_sequences(EditLine* el) {
    el_set(el, EL_ADDFN, "kel-ignore", "A key that edits nothing", ignore_key);
    const auto bind = [el](const std::string& seq, const char* fn) { el_set(el, EL_BIND, seq.c_str(), fn, nullptr); };
    static const char* const tilde_keys[] = {"2", "5", "6", "15", "17", "18", "19", "20", "21", "23", "24"};
    for (const char* code : tilde_keys) bind(std::string("\033[") + code + "~", "kel-ignore");
    static const char* const modified_tilde_keys[] = {"1", "2", "3", "4", "5", "6", "15", "17", "18", "19", "20", "21", "23", "24"};
    for (char m = '2'; m <= '8'; ++m) {
        for (const char* code : modified_tilde_keys) bind(std::string("\033[") + code + ";" + m + "~", "kel-ignore");
        for (const char* k = "ABCDHFPQRS"; *k; ++k) bind(std::string("\033[1;") + m + *k, "kel-ignore");
    }
    for (const char* k = "ABCDE"; *k; ++k) bind(std::string("\033[[") + *k, "kel-ignore");
    for (const char* k = "PQRS"; *k; ++k) bind(std::string("\033O") + *k, "kel-ignore");
    // Shift moves the caret as the plain keys do (a terminal line has no
    // selection of its own), Ctrl by words
    bind("\033[1;2D", "ed-prev-char");
    bind("\033[1;2C", "ed-next-char");
    bind("\033[1;2H", "ed-move-to-beg");
    bind("\033[1;2F", "ed-move-to-end");
    for (const char* seq : {"\033[1;5D", "\033[1;6D", "\033[5D", "\033Od"}) bind(seq, "kel-word-left");
    for (const char* seq : {"\033[1;5C", "\033[1;6C", "\033[5C", "\033Oc"}) bind(seq, "kel-word-right");
    bind("\033[3;5~", "kel-delete-word-right");
}

// A lone Escape reaches the editor as this code, which no UTF-8 keyboard
// types: Escape is also the first byte of every key sequence, and only the
// pause after it tells the key from a sequence.
constexpr wchar_t lone_escape = 0x9B;
constexpr int escape_pause_ms = 80;

int read_byte(int fd, unsigned char* byte) {
    for (bool retried = false;;) {
        const ssize_t n = ::read(fd, byte, 1);
        if (n == 1) return 1;
        if (n == 0) return 0;
        if (errno == EINTR && !retried) {
            retried = true;
            continue;
        }
        return -1;
    }
}

// The editor's reading of one character: UTF-8 decoded, and an Escape that
// no byte follows within the pause made the lone-escape code.
int read_key(EditLine*, wchar_t* out) {
    unsigned char b = 0;
    const int got = read_byte(0, &b);
    if (got <= 0) {
        *out = L'\0';
        return got;
    }
    if (b == 0x1B) {
        struct pollfd pfd {0, POLLIN, 0};
        *out = ::poll(&pfd, 1, escape_pause_ms) == 0 ? lone_escape : L'\033';
        return 1;
    }
    int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    uint32_t code = more == 3 ? b & 0x07u : more == 2 ? b & 0x0Fu : more == 1 ? b & 0x1Fu : b;
    if (b >= 0x80 && b < 0xC0) more = 0;  // a stray continuation byte stands for itself
    for (; more > 0; --more) {
        unsigned char c = 0;
        if (read_byte(0, &c) <= 0 || (c & 0xC0) != 0x80) break;
        code = (code << 6) | (c & 0x3Fu);
    }
    *out = static_cast<wchar_t>(code);
    return 1;
}

// Escape: the line ends as Enter ends it (so the screen follows), and is
// answered with the Escape character at its end: cancelled.
bool escaped = false;
unsigned char escape_key(EditLine* el, int) {
    escaped = true;
    el_push(el, "\n");
    return CC_NORM;
}

void open_editor() {
    if (editor) return;
    // libedit reads multibyte text by the character-type locale.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
    editor = el_init("kel", stdin, stdout, stderr);
    history_list = history_init();
    HistEvent ev;
    history(history_list, &ev, H_SETSIZE, 1000);
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_SIGNAL, 0);  // signals belong to the waiter in main
    el_set(editor, EL_PROMPT, prompt_of);
    el_set(editor, EL_HIST, history, history_list);
    el_set(editor, EL_ADDFN, "kel-complete", "Complete the word at the caret", complete_key);
    el_set(editor, EL_BIND, "^I", "kel-complete", nullptr);
    // Ctrl+K empties the whole input, wherever the caret stands
    el_set(editor, EL_BIND, "^K", "em-kill-line", nullptr);
    // Ctrl+Left and Ctrl+Right jump by words (xterm's and rxvt's sequences;
    // unbound, their tails would be typed into the line); Ctrl+H, which
    // terminals send for Ctrl+Backspace, and Ctrl+Delete delete by words
    el_set(editor, EL_ADDFN, "kel-word-left", "Caret to the start of the word", word_left_key);
    el_set(editor, EL_ADDFN, "kel-word-right", "Caret to the end of the word", word_right_key);
    el_set(editor, EL_ADDFN, "kel-delete-word-left", "Delete the word before the caret", delete_word_left_key);
    el_set(editor, EL_ADDFN, "kel-delete-word-right", "Delete the word after the caret", delete_word_right_key);
    el_set(editor, EL_BIND, "^H", "kel-delete-word-left", nullptr);
    el_set(editor, EL_GETCFN, read_key);
    el_set(editor, EL_ADDFN, "kel-escape", "End the line cancelled", escape_key);
    el_set(editor, EL_BIND, "\302\233", "kel-escape", nullptr);
    bind_key_sequences(editor);
}

// Whether `ask` reads through the editor: both ends a terminal.
machine_value terminal_q(const machine_value*, int32_t) {
    kel_value answer;
    set_logic(&answer, isatty(0) && isatty(1));
    return answer_cell(&answer);
}

// Whether typed input echoes on a terminal: hidden input is read with the
// echo off even when the output goes elsewhere.
machine_value input_terminal_q(const machine_value*, int32_t) {
    kel_value answer;
    set_logic(&answer, isatty(0));
    return answer_cell(&answer);
}

machine_value history_clear(const machine_value*, int32_t) {
    open_editor();
    HistEvent ev;
    history(history_list, &ev, H_CLEAR);
    return nothing();
}

// Entries are added oldest first, so the newest is the first one Up shows.
machine_value history_add(const machine_value* a, int32_t) {
    open_editor();
    const std::string text = utf8_of(a[0].cell);
    HistEvent ev;
    history(history_list, &ev, H_ENTER, text.c_str());
    return nothing();
}

// One line through the editor, without its line end; none at the end of
// input. While it waits the process is idle (an interrupt ends it, modes
// restored) and nothing is traced.
machine_value edit_line(const machine_value* a, int32_t) {
    open_editor();
    prompt_text = utf8_of(a[0].cell);
    completer = type_of(a[1].cell) == types::function ? a[1].cell : nullptr;
    pending = signal_code::none;
    escaped = false;
    std_output::flush();
    const bool traced = interpreter::trace.active;
    interpreter::trace.active = false;
    const bool was_evaluating = runtime::evaluating.exchange(false);
    // Keys typed ahead, before libedit has the terminal, must not meet the
    // line discipline's echo and erase: the terminal leaves canonical mode
    // here, and gets its own modes back after the line.
    struct termios saved {};
    const bool tty = tcgetattr(0, &saved) == 0;
    if (tty) {
        platform::tty_guard::hold(0);
        struct termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &raw);
    }
    int count = 0;
    const char* got = el_gets(editor, &count);
    std::string line;
    if (got && count > 0) line.assign(got, static_cast<size_t>(count));
    if (tty) {
        tcsetattr(0, TCSANOW, &saved);
        platform::tty_guard::release();
    }
    runtime::evaluating.store(was_evaluating);
    interpreter::trace.active = traced;
    completer = nullptr;
    if (pending != signal_code::none) {
        // the completion failed: the line ends here and its signal goes on
        el_reset(editor);
        write_all(1, "\n", 1);
        const signal_code c = pending;
        pending = signal_code::none;
        stack::throw_code(c);
    }
    kel_value answer;
    if (!got || count <= 0) {
        write_all(1, "\n", 1);  // Ctrl-D leaves the cursor after the prompt
        set_none(&answer);
        return answer_cell(&answer);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (escaped) line.push_back('\033');
    answer = *boot::push_os_text(line.data(), line.size());
    stack::drop_cells(1);
    return answer_cell(&answer);
}

// A line read with the terminal's echo off (restored whatever happens), each
// character shown as "*"; none at the end of input. The terminal leaves
// canonical mode, so erasing is done here: Backspace takes back the last
// character, Ctrl+U the whole line.
machine_value read_hidden(const machine_value* a, int32_t) {
    const std::string question = utf8_of(a[0].cell);
    // echo off before the question shows, so nothing typed after it echoes
    struct termios saved {};
    const bool tty = tcgetattr(0, &saved) == 0;
    if (tty) {
        platform::tty_guard::hold(0);
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &quiet);
    }
    std_output::flush();
    write_all(1, question.data(), question.size());
    const bool was_evaluating = runtime::evaluating.exchange(false);
    std::string line;
    bool ended = false;
    // the character count shown, so that erasing never reaches the question
    int32_t shown = 0;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = line.empty();
            break;
        }
        if (c == '\n' || c == '\r') break;
        const auto byte = static_cast<unsigned char>(c);
        if (tty && byte == 4) {  // Ctrl+D: the end of input on an empty line
            if (line.empty()) {
                ended = true;
                break;
            }
            continue;
        }
        if (tty && (byte == 127 || byte == 8)) {
            if (shown == 0) continue;
            // the last character, with its continuation bytes
            while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80) line.pop_back();
            if (!line.empty()) line.pop_back();
            --shown;
            write_all(1, "\b \b", 3);
            continue;
        }
        if (tty && byte == 21) {  // Ctrl+U
            for (; shown > 0; --shown) write_all(1, "\b \b", 3);
            line.clear();
            continue;
        }
        if (tty && byte < 32 && byte != '\t') continue;
        line.push_back(c);
        if (tty && (byte & 0xC0) != 0x80) {
            ++shown;
            write_all(1, "*", 1);
        }
    }
    runtime::evaluating.store(was_evaluating);
    if (tty) {
        tcsetattr(0, TCSANOW, &saved);
        platform::tty_guard::release();
    }
    write_all(1, "\n", 1);  // the Enter that was not echoed
    kel_value answer;
    if (ended) {
        set_none(&answer);
        return answer_cell(&answer);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    answer = *boot::push_os_text(line.data(), line.size());
    stack::drop_cells(1);
    return answer_cell(&answer);
}

// The terminal title (OSC 0) when standard output is a terminal.
machine_value set_title(const machine_value* a, int32_t) {
    if (isatty(1)) {
        const std::string text = "\x1b]0;" + utf8_of(a[0].cell) + "\x07";
        std_output::flush();
        write_all(1, text.data(), text.size());
    }
    return nothing();
}

const routines::binding editor_routines[] = {
    {"console-terminal?", "", terminal_q},
    {"console-history-clear", "", history_clear},
    {"console-history-add", "text [any-type!]", history_add},
    {"console-edit-line", "question [any-type!] complete [any-type!]", edit_line},
    {"console-read-hidden", "question [any-type!]", read_hidden},
    {"console-set-title", "text [any-type!]", set_title},
    {"console-input-terminal?", "", input_terminal_q},
};

}  // namespace

void install() {
    routines::define_run(routine_numbers::line_editor, editor_routines, int32_t(std::size(editor_routines)), "line editor");
}

}  // namespace kel::console::line_editor
