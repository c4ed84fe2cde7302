// fatal: the end of the line for faults the language cannot turn into error
// values: processor faults, exhausted memory, a throw nobody receives, an
// unknown C++ exception. The report is "*** Runtime Error N: text" and
// "*** at: XXXXXXXXh" on stderr, and the process exits with code N.
// Everything on the signal path is async-signal-safe: no allocation, no stdio.
#pragma once
#include <cstdint>

namespace kel::fatal {

enum error_number : int {
    quiet = 0,
    access_violation = 1,
    invalid_alignment = 2,
    bounds_exceeded = 5,
    float_divide_by_zero = 7,
    float_inexact = 8,
    float_invalid = 9,
    float_overflow = 10,
    float_underflow = 12,
    integer_divide_by_zero = 13,
    integer_overflow = 14,
    privileged_instruction = 15,
    illegal_instruction = 17,
    stack_overflow = 19,
    illegal_operand = 23,
    illegal_addressing_mode = 24,
    illegal_trap = 25,
    coprocessor_error = 26,
    nonexistent_physical_address = 27,
    object_specific_hardware_error = 28,
    memory_error_ar = 29,
    memory_error_ao = 30,
    privileged_register = 31,
    segmentation_fault = 32,
    fpu_error = 33,
    bus_error = 34,
    out_of_memory = 94,
    no_catch_for_throw = 95,
    assertion_failed = 98,
    unknown_error = 99,
    no_case_matched = 100,
    no_switch_matched = 101,
};

// Exit status of a script that ends in an uncaught language error (-2 in 8 bits).
constexpr int uncaught_error_exit = 254;

// The stored text of an error number ("unknown error code!" for unlisted ones).
const char* error_text(int number);

// Maps a Linux fault signal and its si_code to an error number. `in_guard` says
// the faulting address lies in the runtime stack's guard zone.
int number_for_signal(int signo, int si_code, bool in_guard);

// Writes "*** Runtime Error N: text\n*** at: XXXXXXXXh\n" into buf (at least 160
// bytes) and returns its length; `address` is printed as its offset from the
// executable's load base. Async-signal-safe.
int format_report(char* buf, int number, const void* address);

// Reports and ends the process with exit code `number` (0: quietly, code 0).
// Releases the heap's live list first; not for signal handlers.
[[noreturn]] void report_error(int number, const void* address);

// Installs the handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL (process-wide)
// and std::set_terminate (fatal error 99).
void install_fault_handlers();

// Records the runtime thread's guard zone so a fault there reads as overflow.
void set_guard_zone(const void* low, const void* high);

// Provokes the fault named by KEL_FAULT, if set; lets tests check each report.
void provoke_from_environment();

}  // namespace kel::fatal
