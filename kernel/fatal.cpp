// fatal: numbered runtime errors, the fault-signal handler and the test switch
// KEL_FAULT that provokes each fault on purpose.
#include "kernel/fatal.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sys/syscall.h>
#include <unistd.h>

#include "kernel/heap.h"
#include "kernel/print.h"
#include "platform/platform.h"

extern "C" char __executable_start;  // the load base of the executable image

namespace kel::fatal {
namespace {

struct error_entry {
    int number;
    const char* text;
};

// Texts exactly as stored, including the truncated "operan".
constexpr error_entry error_texts[] = {
    {1, "access violation"},
    {2, "invalid alignment"},
    {3, "breakpoint"},
    {4, "single step"},
    {5, "bounds exceeded"},
    {6, "float denormal operan"},
    {7, "float divide by zero"},
    {8, "float inexact result"},
    {9, "float invalid operation"},
    {10, "float overflow"},
    {11, "float stack check"},
    {12, "float underflow"},
    {13, "integer divide by zero"},
    {14, "integer overflow"},
    {15, "privileged instruction"},
    {16, "invalid virtual address"},
    {17, "illegal instruction"},
    {18, "non-continuable exception"},
    {19, "stack error or overflow"},
    {20, "invalid disposition"},
    {21, "guard page"},
    {22, "invalid handle"},
    {23, "illegal operand"},
    {24, "illegal addressing mode"},
    {25, "illegal trap"},
    {26, "coprocessor error"},
    {27, "non-existent physical address"},
    {28, "object specific hardware error"},
    {29, "hardware memory error consumed AR"},
    {30, "hardware memory error consumed AO"},
    {31, "privileged register"},
    {32, "segmentation fault"},
    {33, "FPU error"},
    {34, "Bus error"},
    {94, "out of memory"},
    {95, "no CATCH for THROW"},
    {98, "assertion failed"},
    {99, "unknown error"},
    {100, "no value matched in CASE"},
    {101, "no value matched in SWITCH"},
};

struct signal_code_entry {
    int signo;
    int si_code;
    int number;
};

// Linux fault codes onto the runtime's numbers; a code not listed falls back
// to the signal's own row in `fallback_for_signal`.
constexpr signal_code_entry signal_codes[] = {
    {SIGSEGV, SEGV_MAPERR, access_violation},
    {SIGSEGV, SEGV_ACCERR, access_violation},
    {SIGSEGV, SEGV_BNDERR, bounds_exceeded},
    {SIGBUS, BUS_ADRALN, invalid_alignment},
    {SIGBUS, BUS_ADRERR, nonexistent_physical_address},
    {SIGBUS, BUS_OBJERR, object_specific_hardware_error},
    {SIGBUS, BUS_MCEERR_AR, memory_error_ar},
    {SIGBUS, BUS_MCEERR_AO, memory_error_ao},
    {SIGFPE, FPE_INTDIV, integer_divide_by_zero},
    {SIGFPE, FPE_INTOVF, integer_overflow},
    {SIGFPE, FPE_FLTDIV, float_divide_by_zero},
    {SIGFPE, FPE_FLTOVF, float_overflow},
    {SIGFPE, FPE_FLTUND, float_underflow},
    {SIGFPE, FPE_FLTRES, float_inexact},
    {SIGFPE, FPE_FLTINV, float_invalid},
    {SIGFPE, FPE_FLTSUB, bounds_exceeded},
    {SIGILL, ILL_ILLOPC, illegal_instruction},
    {SIGILL, ILL_ILLOPN, illegal_operand},
    {SIGILL, ILL_ILLADR, illegal_addressing_mode},
    {SIGILL, ILL_ILLTRP, illegal_trap},
    {SIGILL, ILL_PRVOPC, privileged_instruction},
    {SIGILL, ILL_PRVREG, privileged_register},
    {SIGILL, ILL_COPROC, coprocessor_error},
    {SIGILL, ILL_BADSTK, stack_overflow},
};

int fallback_for_signal(int signo) {
    switch (signo) {
        case SIGSEGV: return segmentation_fault;
        case SIGBUS: return bus_error;
        case SIGFPE: return fpu_error;
        case SIGILL: return illegal_instruction;
        default: return unknown_error;
    }
}

const void* guard_low = nullptr;
const void* guard_high = nullptr;

using platform::write_all;

int put_text(char* out, const char* s) {
    int n = 0;
    while (s[n]) { out[n] = s[n]; ++n; }
    return n;
}

int put_decimal(char* out, unsigned v) {
    char tmp[12];
    int n = 0;
    do { tmp[n++] = static_cast<char>('0' + v % 10); v /= 10; } while (v);
    for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
    return n;
}

int put_hex8(char* out, uint32_t v) {
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 7; i >= 0; --i) { out[i] = digits[v & 15]; v >>= 4; }
    return 8;
}

void fault_handler(int signo, siginfo_t* info, void* context) {
    const void* pc = nullptr;
#if defined(__x86_64__)
    pc = reinterpret_cast<const void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
#endif
    bool in_guard = guard_low && info->si_addr >= guard_low && info->si_addr < guard_high;
    int number = number_for_signal(signo, info->si_code, in_guard);
    char buf[200];
    int n = format_report(buf, number, pc);
    write_all(STDERR_FILENO, buf, static_cast<size_t>(n));
    _exit(number);
}

[[noreturn]] void on_terminate() {
    report_error(unknown_error, __builtin_return_address(0));
}

// Sends a fault signal with a chosen si_code to this thread, for the codes the
// hardware cannot be made to produce on demand (the kernel lets a process
// queue any code to itself).
void queue_signal_to_self(int signo, int code) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = signo;
    info.si_code = code;
    info.si_pid = getpid();
    syscall(SYS_rt_tgsigqueueinfo, getpid(), static_cast<pid_t>(syscall(SYS_gettid)), signo, &info);
}

// Each frame holds a page the compiler cannot drop, so the recursion runs
// into the guard zone instead of being turned into a loop.
__attribute__((noinline)) int recurse_deeper(int depth) {
    volatile char pad[4096];
    pad[0] = static_cast<char>(depth);
    if (depth == -1) return 0;
    return recurse_deeper(depth + 1) + pad[0];
}

}  // namespace

const char* error_text(int number) {
    for (const auto& e : error_texts)
        if (e.number == number) return e.text;
    return "unknown error code!";
}

int number_for_signal(int signo, int si_code, bool in_guard) {
    if (signo == SIGSEGV && in_guard) return stack_overflow;
    for (const auto& e : signal_codes)
        if (e.signo == signo && e.si_code == si_code) return e.number;
    return fallback_for_signal(signo);
}

int format_report(char* buf, int number, const void* address) {
    auto offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) -
                                        reinterpret_cast<uintptr_t>(&__executable_start));
    if (!address) offset = 0;
    int n = put_text(buf, "*** Runtime Error ");
    n += put_decimal(buf + n, static_cast<unsigned>(number));
    n += put_text(buf + n, ": ");
    n += put_text(buf + n, error_text(number));
    n += put_text(buf + n, "\n*** at: ");
    n += put_hex8(buf + n, offset);
    n += put_text(buf + n, "h\n");
    return n;
}

[[noreturn]] void report_error(int number, const void* address) {
    if (number != 0) {
        std_output::flush();
        char buf[200];
        int n = format_report(buf, number, address);
        write_all(STDERR_FILENO, buf, static_cast<size_t>(n));
    } else {
        std_output::flush();
    }
    heap::free_all();
    _exit(number & 0xFF);
}

void install_fault_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = fault_handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &sa, nullptr);
    std::set_terminate(on_terminate);
}

void set_guard_zone(const void* low, const void* high) {
    guard_low = low;
    guard_high = high;
}

// Sanitizers would report the provoked fault themselves before it happens.
__attribute__((no_sanitize("address", "undefined"))) void provoke_from_environment() {
    const char* what = std::getenv("KEL_FAULT");
    if (!what || !*what) return;
    if (!std::strcmp(what, "segv")) {
        *static_cast<volatile int*>(nullptr) = 1;
    } else if (!std::strcmp(what, "stack")) {
        recurse_deeper(0);
    } else if (!std::strcmp(what, "intdiv")) {
        // Both operands volatile: 1 / x alone is folded into a comparison.
        volatile int zero = 0, numerator = 12345;
        volatile int r = numerator / zero;
        (void)r;
    } else if (!std::strcmp(what, "ill")) {
        __builtin_trap();
    } else if (!std::strcmp(what, "terminate")) {
        std::terminate();
    } else if (!std::strcmp(what, "oom")) {
        heap::allocate(SIZE_MAX - 8);
    } else if (!std::strncmp(what, "signal:", 7)) {
        // signal:<signo>:<si_code>
        char* end = nullptr;
        long signo = std::strtol(what + 7, &end, 10);
        long code = (end && *end == ':') ? std::strtol(end + 1, nullptr, 10) : 0;
        queue_signal_to_self(static_cast<int>(signo), static_cast<int>(code));
    }
}

}  // namespace kel::fatal
