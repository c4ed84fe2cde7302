// handles: the external handle table. Operating-system resources that values
// keep (bitmaps, fonts, file descriptors, native objects) are neither series
// nor movable; each lives in an entry of this table and a value refers to it
// by index (a handle! cell keeps the index in word 3). Every entry has a kind,
// registered with a name and a release callback. A collection marks the
// entries that live handle! values reach, then sweeps: every live entry left
// unmarked is unlinked, freed for reuse, and its data released through its
// kind's callback once the collection has finished.
//
// Entries run on two lists threaded through their `next` words: the free
// list and the live list (-1 ends either). The free head is never the last
// free entry when it is handed out: the table doubles first, so the free list
// is never empty. Indexes stay valid while an entry lives; growth moves the
// table, not the indexes.
//
// Releasing an entry that is free already, or an index outside the table, is
// ignored: pushing a free entry on the free list twice would hand one index
// to two later stores.
#pragma once
#include <cstdint>

namespace kel::externals {

constexpr uint32_t kind_mask = 0xFFu;
constexpr uint32_t flag_free = 0x40000000u;
constexpr uint32_t flag_marked = 0x80000000u;
constexpr int32_t end_of_list = -1;
constexpr uint32_t kind_capacity = 20;
constexpr uint32_t initial_capacity = 1000;

using release_fn = void (*)(uintptr_t data);

struct kind_record {
    const char* name;
    release_fn release;  // may be null
};

struct handle_entry {
    uint32_t kind;   // kind number in bits 0-7, free and marked flags, other caller bits
    int32_t next;    // next entry of the live or the free list
    uintptr_t data;  // the resource
};

// Start-up step: the kind table and 1000 free entries.
void init();
// Registers a kind; answers its 1-based number, or 0 when the 20 kinds are taken.
uint32_t register_kind(const char* name, release_fn release);
const kind_record* kind_of_number(uint32_t number);

// Enters a resource; `kind_word` is the kind number with any caller bits
// (the free and marked bits are dropped). Answers the index.
int32_t store(uintptr_t data, uint32_t kind_word);
// New data for a live entry; the old data is released when it differs.
void replace(int32_t index, uintptr_t data);
// Frees a live entry, releasing its data first when `release_data`.
void release(int32_t index, bool release_data);
// Collector: marks a live entry (and, when `data` is not 0, stores it).
// Answers true when the entry was not marked before.
bool mark(int32_t index, uintptr_t data = 0);
// Calls `callback` with the data of every live entry of the kind, in live-list order.
void each_of_kind(uint32_t kind, void (*callback)(uintptr_t data));
void call_release(uint32_t kind_word, uintptr_t data);

// Collector: frees every unmarked live entry (queuing its release) and clears
// the marks of the others.
void sweep();
// Runs the releases the last sweep queued; the collector calls it once the
// collection is over.
void run_pending_releases();

// Inspection.
bool live_q(int32_t index);
uintptr_t data_of(int32_t index);  // 0 for an entry that is not live
uint32_t kind_word_of(int32_t index);
uint32_t capacity();
uint32_t live_count();

}  // namespace kel::externals
