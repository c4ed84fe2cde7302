// stack_scan: the conservative half of the collector's marking. C++ code
// holds buffer addresses and node ids in locals and registers that no root
// lists; this scan finds them. Callee-saved registers are first spilled onto
// the stack (setjmp, and an explicit store of every callee-saved register
// where the processor is known), then every 8-byte word from the scanner's own
// frame up to the top of the thread's stack is looked at:
//  - a word inside a buffer's range (its header up to the next header, so one
//    past the end of a full buffer still names it) marks and pins that buffer;
//    a buffer not in use (retired by growth, or a filler) is left alone;
//  - a word inside the node arena marks the node of that slot;
//  - each 32-bit half that is a live node id marks that node (without pin:
//    the buffer may move, the node follows it).
// Series-frame hits are gathered, sorted and resolved by one walk per frame,
// so the scan costs one pass over the frames however many words hit.
//
// The scanner reads stack words that the compiler never wrote (padding, dead
// slots): it is excluded from AddressSanitizer, and under valgrind it copies
// each chunk and declares the copy defined, leaving the stack's own state as
// it was.
#pragma once
#include <cstdint>

namespace kel::collector {

// The scan itself (inside a collection, after the exact roots).
void scan_machine_stack();

// The top (highest address) of the calling thread's stack: the runtime
// thread's recorded bound, else what the thread library reports.
char* stack_top();

// Words looked at by the last scan, and how many of them hit a buffer or a node.
struct scan_figures {
    uint64_t words;
    uint64_t hits;
};
scan_figures last_scan();

}  // namespace kel::collector
