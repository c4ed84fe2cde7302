// collector: the garbage collector. Stop-the-world mark and compact over the
// series memory: marking sets a bit in each reached buffer's header, starting
// from exact roots and then from a conservative scan of the machine stack;
// compaction (compaction.h) slides live buffers down and re-points their nodes.
// Values hold node ids, which never move, so no cell is ever rewritten.
//
// Roots, in marking order: the root block; the owner table (its record
// block's buffer only: owned series must not be kept alive by their owner
// entries); the argument stack's and the call marks' own buffers, the live
// argument cells and the contexts and saved values of every call mark; the
// symbol index and the global context; the root cells other modules register;
// the cells of the last raise's record (last_fired); the cycle stack; the slot table; the explicit pin list; the hooks. Then the
// machine stack (stack_scan.h): a word pointing into a buffer pins and marks
// it, a word pointing into the node arena and any 32-bit live node id mark
// their node.
//
// Marking never recurses in C++: a buffer whose cells must be marked goes on
// an explicit work list, and `trace` empties it. What a cell marks depends on
// its type, through one table of markers (`set_marker` lets a datatype module
// give its own); every marker checks that a payload word is a live node id
// before touching it, so a stale or foreign word is harmless.
//
// Invariants: marks and pins exist only inside a collection (all are clear
// between collections); nothing inside a collection allocates a series or
// raises a language error; a collection never starts inside another. Hooks and
// markers must not allocate series. Handle release callbacks run after the
// collection has finished, so they may allocate.
//
// Checks built into every build, read from the environment at start-up
// (`read_environment` reads them again): KEL_GC_STRESS=N collects on every
// N-th allocation while the collector is active and moves every buffer that
// is not pinned, filling vacated space with 0xDB; KEL_GC_VERIFY=1 runs the
// heap verifier after each collection (a corrupt heap is fatal error 98).
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::hashtable {
struct marker;
}

namespace kel::collector {

struct statistics {
    int32_t cycles;        // collections run
    int32_t nodes_cycles;  // collections that emptied node frames by moving nodes: always 0 (ids never move)
};
extern statistics stats;

// Start-up step (the last one): installs the collector into the series memory
// and reads the checks from the environment. The collector stays inactive.
void init();

// One full collection. Does nothing inside another one or before the series
// memory exists.
void collect();
// A collection when the collector is active (allocation calls this).
void collect_if_active();
bool collecting_q();
bool active_q();
void set_active(bool on);

// `recycle`: a collection whatever the active flag; answers the bytes in use.
uint64_t recycle();

// --- roots ---------------------------------------------------------------------
// The root block: a heap-backed block (it never moves) whose cells are the
// first root; the argument stack's buffers, the symbol table and every block
// made without a parent are kept in it. Made by the start-up step "root
// buffers".
constexpr uint32_t root_block_cells = 9754;
kel_value* root_block();
void init_root_block();
// Appends a copy of the cell to the root block.
void keep_in_root_block(const kel_value* cell);
// The name tables the words' module makes above the kernel: the symbol index
// (a hash table) and the global context, 0 while they do not exist. The
// start-up step "name roots" installs the function that answers them.
struct name_roots {
    uint32_t symbol_index;    // marked as a hash table
    uint32_t global_context;  // marked as a context
};
void set_name_roots(name_roots (*fn)());
// Callbacks each collection runs after the fixed roots, in slot order (100
// slots; a removed hook's slot stays empty). add_hook answers false when the
// slots are exhausted.
bool add_hook(void (*hook)());
// The one callback run after the sweep (null: none): a side table keyed by
// node ids (the evaluator's decoded blocks) drops the entries of dead nodes.
void set_sweep_hook(void (*hook)());
void remove_hook(void (*hook)());
// A cell at a fixed address (a C++ global) marked by type at every collection.
void add_root_cell(const kel_value* cell);
void remove_root_cell(const kel_value* cell);

// --- marking (from hooks, markers and tables, inside a collection) ---------------
// The node's buffer alone; true when it was not marked before. A word that is
// not a live node id is ignored (false).
bool mark_node(uint32_t node);
// The buffer and, for a buffer of cells, its used cells (through the work list).
bool mark_block(uint32_t node);
void mark_series_cell(const kel_value* cell);
// A context node: its buffer and its cells (the context! cell marks its word
// table and its values; the second cell is the owner).
void mark_context(uint32_t node);
void mark_cells(const kel_value* first, const kel_value* end);
void mark_value(const kel_value* value);
void unmark_node(uint32_t node);
bool marked_q(uint32_t node);
// Marks a buffer found by address; with `pin` it will not move in this
// collection. Buffers of cells have their used cells marked.
void mark_buffer(memory::buffer_header* h, bool pin);
// Marks everything the work list still leads to.
void trace();

// The marker of one type: what a cell of that type keeps alive.
using marker_fn = void (*)(const kel_value* cell);
void set_marker(uint32_t type, marker_fn fn);
marker_fn marker(uint32_t type);
// The markers a registry row names, by the cells' layout. `nothing` is the
// explicit choice of a type whose cells hold no node (the registry stores it
// as an empty slot, so such cells cost no call).
namespace cell_markers {
void nothing(const kel_value* c);
void any_block(const kel_value* c);      // w2: a block node
void any_string(const kel_value* c);     // w2: the string's node, w3: its cache node
void word2_node(const kel_value* c);     // w2: one node (bitset!, vector!, binary!)
void symbol(const kel_value* c);         // w3: the spelling, w2: the alias chain
void context_cell(const kel_value* c);   // w1: the word table, w2: the values block
void word(const kel_value* c);           // w1: the bound context
void object(const kel_value* c);         // w1: the context, w3: the class record
void hash_or_map(const kel_value* c);    // w2: the block, w3: the hash table
void function(const kel_value* c);       // w1: the context, w2 and w3: blocks
void native(const kel_value* c);         // w2, w3: blocks; an op! its wrapped context
void handle(const kel_value* c);         // w3: an external handle index
void image(const kel_value* c);          // w2: the pixel node
void event(const kel_value* c);          // w2: a block when flagged
}  // namespace cell_markers
// Marks a hash table's own buffers, its chains and its indexed series (a
// record table's record block without its cells).
extern void (*mark_table)(uint32_t table_node);

// --- pins ----------------------------------------------------------------------
// A pinned node's buffer is marked and never moved by a collection while the
// pin lasts. Pins nest; unpin removes the latest pin of that node.
void pin(uint32_t node);
void unpin(uint32_t node);
uint32_t pin_count();

class pin_guard {
public:
    explicit pin_guard(uint32_t node) : node_(node) { pin(node); }
    explicit pin_guard(const kel_value* series) : node_(series_node(series)) { pin(node_); }
    ~pin_guard() { unpin(node_); }
    pin_guard(const pin_guard&) = delete;
    pin_guard& operator=(const pin_guard&) = delete;

private:
    uint32_t node_;
};

// --- checks ----------------------------------------------------------------------
void read_environment();
void set_stress(uint32_t every);  // 0: off
uint32_t stress_interval();
void set_verify(bool on);
bool verify_q();
// Checks the heap now: frames tiled by buffers with no mark left, nodes and
// buffers naming each other, node counts and free chains, and no cell of a
// buffer the last collection traced from the exact roots referring to a
// released node (buffers kept without their cells, such as record blocks
// with weak keys, and buffers only the stack scan reached may).
// Reports the first fault and ends the process with fatal error 98 when
// `fatal`, else answers false.
bool verify_heap(bool fatal = true);

// --- figures for `stats` -----------------------------------------------------------
struct frame_figures {
    uint64_t free, used, total;  // nodes for node frames, bytes for series frames
};
// Bytes in use: the slot bytes of used nodes, the bytes of the series-frame
// buffers in use (fillers and dead buffers left out) and the size of every
// big frame.
uint64_t memory_in_use();
// Bytes taken from the operating system by frames and the node arena.
uint64_t os_bytes();
// The figures of each node frame in use (released frames are left out), each
// series frame, and the size of each big buffer; each writes at most `max`
// and answers how many there are.
uint32_t node_frame_figures(frame_figures* out, uint32_t max);
uint32_t series_frame_figures(frame_figures* out, uint32_t max);
uint32_t big_frame_sizes(uint64_t* out, uint32_t max);

}  // namespace kel::collector

// --- parts of the collector -----------------------------------------------------
// A growable array on the runtime heap for the collector's own lists (work
// list, candidates, frame index): grows by doubling, never shrinks, is never
// freed (it is reused by every collection).
namespace kel::collector::detail {
void* grow(void* items, size_t item_size, size_t* capacity);
template <class T>
struct heap_list {
    T* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    void push(T v) {
        if (count == capacity) items = static_cast<T*>(grow(items, sizeof(T), &capacity));
        items[count++] = v;
    }
    void clear() { count = 0; }
    T* begin() { return items; }
    T* end() { return items + count; }
};
// The marking functions as the hash-table walker takes them.
const hashtable::marker& table_walker();
// The nodes of the buffers whose cells the last collection marked, reached
// from the exact roots.
const uint32_t* traced_nodes(size_t* count);
// True while the verifier walks the heap: the marking functions then check
// references instead of marking.
extern bool verifying;
// Reports a reference to a node id that is no longer live (the verifier).
void report_dangling(uint32_t node);
}  // namespace kel::collector::detail
