// hashtable: the one open-addressing hash table design of the runtime. It
// serves five users:
//   kind 0  hash! values: every cell of the series indexed, duplicates kept;
//           equal values share a bucket through a chain of positions kept in
//           insertion order;
//   kind 1  map! values: keys and values alternate, keys indexed; a removed
//           entry stays indexed as a hole (its value cell's header is 0);
//   kind 2  context word tables and the symbol index, keyed by symbol;
//   kind 3+ record tables keyed by a series node (the owner table is kind 4,
//           whose records also carry a second key, the owner's context).
// A table is a byte series (the table node is what owners hold), so the
// collector keeps and moves it like any value; its arrays are series too.
// A second, smaller design lives on the runtime heap: the integer map of the
// collector (`int_map`, below).
//
// Layout. The table's data is eleven 32-bit words (`table_header`). Bucket
// flags are 2 bits per bucket, 16 buckets per word (bit 1 empty, bit 0
// deleted, 00 used). Bucket counts are powers of two, at least 4, sized as
// entries / 0.77; probing is triangular (offsets 0, 1, 3, 6 ...), so every
// bucket is visited once within n-buckets probes. The bound keeps 23 % of the
// buckets free, so a probe always meets an empty bucket.
//
// A map! keeps the hash of each used bucket's key beside the key array: a
// probe reads a stored key only when the hashes agree. Growing hashes every
// key afresh (walking the series in order) and keeps those hashes, so a key
// string changed in place after it was put is found by its new text once
// the table has grown, as before; until then a probe for the new text skips
// it, where it could meet it by chance before.
//
// Positions. Kinds 0-2 store 0-based cell positions counted from the first
// used cell of the indexed series' buffer (not from a value's head). Kind 0
// stores -c in a bucket whose positions form chain c. Record tables store the
// byte offset of the record in the record block.
//
// Node ids never move in this runtime (compaction moves buffers, not nodes),
// so a table keyed by node ids never needs re-indexing after a collection;
// the stamp word is written but nothing has to check it.
//
// Every function re-reads buffer addresses from their nodes after anything
// that may allocate or call a compare handler: a data pointer is never kept
// across a growth.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/murmur3.h"
#include "kernel/value.h"

namespace kel::hashtable {

namespace kinds {
constexpr uint32_t hash = 0;
constexpr uint32_t map = 1;
constexpr uint32_t words = 2;
constexpr uint32_t records = 3;
constexpr uint32_t owners = 4;  // record table whose records carry a second key (cell 2, word 1)
}  // namespace kinds

// The internal key form: a string-like key that a map! search compares with
// stored keys of any type; when its word 3 is 0 or more only that many code
// points from its head count.
constexpr uint32_t key_type = 56;

struct table_header {
    uint32_t count;        // live keys
    uint32_t indexes;      // kind 0: node of position -> bucket + 1 (int32, -1 none); kinds >= 3: record size in bytes
    uint32_t chains;       // kind 0: node of the chain store; kind 1: node of the uint32 hash of each bucket's key
    uint32_t flags;        // node of the bucket-flag array
    uint32_t keys;         // node of the int32 key array (n_buckets entries)
    uint32_t blk;          // node of the indexed series
    uint32_t occupied;     // used + deleted buckets
    uint32_t n_buckets;
    uint32_t upper_bound;  // grow when occupied reaches it
    uint32_t kind;
    uint32_t stamp;
};
static_assert(sizeof(table_header) == 44);

constexpr uint32_t bucket_used = 0;
constexpr uint32_t bucket_deleted = 1;
constexpr uint32_t bucket_empty = 2;

table_header* header_of(uint32_t table);
uint32_t bucket_state(uint32_t table, uint32_t bucket);
int32_t bucket_key(uint32_t table, uint32_t bucket);
// The chain's positions (kind 0), in insertion order; returns the count and
// the address of the first (valid until the next allocation).
uint32_t chain_positions(uint32_t table, uint32_t chain, const int32_t** first);
// The bucket number + 1 stored for a position (kind 0), or -1.
int32_t index_of_position(uint32_t table, int32_t position);

// Keeps fresh nodes reachable while something is put together from several
// allocations: each is parked on the argument stack (a byte buffer as a
// binary! cell, a finished table as a stack-context cell, whose marking is
// the table's), and `release` drops them all. Before the argument stack
// exists nothing is parked (start-up never collects).
struct parking {
    int32_t cells = 0;
    void node(uint32_t node);
    void table(uint32_t table);
    void release();
};

// --- hashing -------------------------------------------------------------------
// The hash of a value; case-insensitive unless `case_sensitive` (string keys
// fold with the same function as case-insensitive comparison).
// Dispatches through the hash column of the value's registry row.
uint32_t hash_value(const kel_value* value, bool case_sensitive);
// The hash functions registry rows name, by the cells' layout (the words of
// a cell are w1-w3; hashes of cell words run over the cell's bytes).
namespace hash_by {
uint32_t zero(const kel_value* v, bool case_sensitive);
uint32_t unset(const kel_value* v, bool case_sensitive);   // -2
uint32_t none(const kel_value* v, bool case_sensitive);    // -1
uint32_t w1(const kel_value* v, bool case_sensitive);      // fmix32 of one word
uint32_t w2(const kel_value* v, bool case_sensitive);
uint32_t w3(const kel_value* v, bool case_sensitive);
uint32_t words_2_3(const kel_value* v, bool case_sensitive);  // murmur3 of w2-w3
uint32_t words_1_2(const kel_value* v, bool case_sensitive);  // murmur3 of w1-w2
uint32_t words_1_3(const kel_value* v, bool case_sensitive);  // murmur3 of w1-w3
uint32_t float64(const kel_value* v, bool case_sensitive);    // murmur3 of w2-w3, -0.0 as 0.0
uint32_t float32s(const kel_value* v, bool case_sensitive);   // a point's coordinates, -0.0 as 0.0
uint32_t tuple(const kel_value* v, bool case_sensitive);      // its bytes, trailing zeros past the third left out
uint32_t spelling(const kel_value* v, bool case_sensitive);   // a symbol's name
uint32_t any_string(const kel_value* v, bool case_sensitive); // code points from the head
uint32_t bytes(const kel_value* v, bool case_sensitive);      // a binary's bytes from the head
uint32_t whole_cell_signed(const kel_value* v, bool case_sensitive);  // the cell with type and sign bit only
}  // namespace hash_by

// --- making ----------------------------------------------------------------------
// A new table for `size` entries over `series` (null: a new block, or a new
// record block for kinds >= 3). Kind 0 and 1 index the series from its head
// (map!: keys only, step 2). Kind 2 with extra 2 and a context! cell as
// `series`: a copy of that context's word table (words block duplicated).
// Kinds >= 3: records of extra + 1 cells.
uint32_t make(int32_t size, const kel_value* series, uint32_t kind, int32_t extra);
// A copy for a copied series: header, flags, keys (and for hash! the
// position array, the chain store and every chain); blk = `series_node`.
uint32_t copy(uint32_t table, uint32_t series_node);
// Count and occupied 0, every bucket empty, chains emptied, and the indexed
// series emptied (its tail set to its start).
void clear(uint32_t table);
// Nothing: the collector reclaims the table with its owner.
void discard(uint32_t table);
// Rebuilds the table for `size` entries and indexes the whole series again
// (kind 0); other kinds resize in place.
void rehash(uint32_t table, int32_t size);

// --- indexing positions of the series (kinds 0, 1, 2) -----------------------
// Indexes the value at `position`; answers 2 when a hash! table was rebuilt
// instead (the rebuild indexed every position), else 0.
int put_reporting(uint32_t table, int32_t position);
void put(uint32_t table, int32_t position);
// Indexes every value from `head`, stepping `step` (1 for kinds 0 and 2, 2
// for map! keys). map!: a key met again has its value copied onto the first
// pair's value and its own pair cut out of the series; new keys are
// normalised through `normalize_map_key`.
void put_all(uint32_t table, int32_t head, int32_t step);
// A map! key that no key equals, itself included (a NaN, or a time or point
// made of one): it always adds an entry, and only the first of each bit
// pattern joins the index (an identity search finds that one), so that such
// keys do not line up along one probe sequence each of them would walk.
bool equals_nothing(const kel_value* key);
// Is no key of the same bits as this one indexed yet?
bool first_of_pattern(uint32_t table, const kel_value* key);
// Counts an entry added without joining the index: the table grows as if it
// took a bucket, since a table never holds more entries than its bound.
void count_unindexed(uint32_t table);
// The map! key rule (completed by the map! module): rewrites a key cell in
// place once it is indexed. Null: keys are kept as they are.
extern void (*normalize_map_key)(kel_value* key);

// hash!: the matching cell whose position p satisfies the mode (forward: the
// smallest p >= head with (p - head) a multiple of skip; last: the largest
// such p; reverse: the largest p < head with (head - p - 1) a multiple of
// skip), compared under `op`. map!: the stored key cell equal to the key
// under `op` (word!, lit-word! and get-word! keys are looked up as
// set-word!); head, skip, last and reverse are ignored. Null when absent.
kel_value* find(uint32_t table, const kel_value* key, int32_t head, int32_t skip, int32_t op, bool last,
                bool reverse);
// map!: find's lookup (op equal or strict-equal) that also notes, when the
// key is absent, the bucket where put would index an equal key: the first
// deleted bucket or the empty one that ended the probe, with the probe's
// hash. `put_map_at` indexes a new key's position there when that key has
// the same hash and the table need not grow first (what put would do, with
// one probe less); otherwise it answers false and the caller uses put.
struct map_slot {
    int64_t bucket = -1;
    uint32_t hash = 0;
};
kel_value* find_map(uint32_t table, const kel_value* key, int32_t op, map_slot* slot);
bool put_map_at(uint32_t table, int32_t position, const map_slot& slot);
// map!: the next stored key equal to the key (case-insensitively) after the
// one a previous call found; *continuation is -1 to start and is updated (to
// -1 when nothing more matches).
kel_value* find_next(uint32_t table, const kel_value* key, int32_t* continuation);

// Removes the entry of the value at `position` (hash!: from its chain or
// bucket; map!: the value cell after the key becomes a hole).
void delete_(uint32_t table, int32_t position);
// Drops the entries of n values from `position` (n cut to the series end);
// removing every value empties the table. Called before the cells go.
void remove_entries(uint32_t table, int32_t position, int32_t n);
// Adds delta to the stored positions of `count` values from `position` (and
// moves their position -> bucket entries along). Answers true without work
// when count exceeds 30,000: the caller then rehashes.
bool shift_indexes(uint32_t table, int32_t delta, int32_t position, int32_t count);
constexpr int32_t shift_limit = 30000;
// hash!: after `count` values moved from `source` to `destination` (moving
// towards the tail, the run ends just after the value that stood at
// `destination`), the stored positions of the run and of the values it passed
// over follow. Nothing when destination lies inside the run.
void move_range(uint32_t table, int32_t destination, int32_t source, int32_t count);

// --- record tables (kinds >= 3) --------------------------------------------------
// The record of `key_node`, made when absent (growing the table first when
// full); every cell of the record gets header unset! (payloads kept), its key
// is set, and the address of cell 1 is returned.
kel_value* put_key(uint32_t table, uint32_t key_node);
// Cell 1 of the key's record, or null.
kel_value* get_key(uint32_t table, uint32_t key_node);
// Removes the key: its bucket is marked deleted and its record's words 0-1
// cleared; a later put_key of another key may reuse the record.
void delete_key(uint32_t table, uint32_t key_node);

// --- kind 2 ------------------------------------------------------------------------
// The symbol id of a UTF-8 name of `length` bytes in the symbol index `table`
// over the symbol table block: exact match, else a new symbol (aliased to the
// canonical id of a case-insensitive match when one exists). Caseless: any
// case-insensitive match as it is, a new canonical symbol only when none.
uint32_t intern_symbol(uint32_t table, const char* name, uint32_t length, bool caseless);
// The 0-based index of `symbol` in a context word table (by canonical symbol
// with resolve, else by the exact symbol), or -1. With `add_to_context`
// non-zero, an absent symbol is added (a word cell bound to that context
// node appended to the words block) and its index answered; *added tells.
int32_t context_word_index(uint32_t table, uint32_t symbol, bool resolve, uint32_t add_to_context, bool* added);

// Many lookups in one context word table in a row, by canonical symbol (as
// context_word_index with resolve and nothing added). Binding a body looks up
// every word it holds; this takes the table's arrays and the symbol table
// once instead of at every word. Valid only while nothing allocates: any
// allocation may move the buffers it points into.
class word_finder {
public:
    explicit word_finder(uint32_t table);
    // The 0-based index of the symbol's word, or -1.
    int32_t find(uint32_t symbol) const;

private:
    const uint32_t* flags_;
    const int32_t* keys_;
    const kel_value* words_;
    const kel_value* symbols_;
    uint32_t buckets_;
};

// --- collector support ---------------------------------------------------------------
// What the collector lends the table walker.
struct marker {
    bool (*node)(uint32_t node);                        // marks a buffer; true when it was not marked yet
    void (*block)(uint32_t node);                       // marks a block's buffer and its used cells
    void (*cells)(kel_value* first, uint32_t count);    // marks a run of cells by type
};
// Marks the table's own buffers, the chains, and the indexed series. A
// record table marks its record block's buffer only, not its cells, so its
// keys are weak; see drop_unmarked and mark_records.
void mark(uint32_t table, const marker& m);
// Record tables, after marking: deletes every record whose key node (or, for
// kind 4, second key) is not marked, clearing the record's words 0-1.
void drop_unmarked(uint32_t table, bool (*marked_q)(uint32_t node));
// Record tables, after the drop: marks cells 1..extra of every live record.
void mark_records(uint32_t table, const marker& m);

}  // namespace kel::hashtable

// int_map: the collector's integer -> integer map on the runtime heap. Same
// flags, probe sequence and sizing as the tables above; the hash of a key is
// fmix32 of the key.
namespace kel::int_map {

struct table {
    uint32_t count;
    uint32_t* flags;
    int32_t* pairs;  // (key, value) per bucket
    uint32_t occupied;
    uint32_t n_buckets;
    uint32_t upper_bound;
};

table* make(int32_t size);
// Stores value for key (replacing the value of a key already present).
void put(table* t, int32_t key, int32_t value);
// The bucket of the key, or -1.
int32_t find(const table* t, int32_t key);
// Address of the key's value, or null.
int32_t* get(table* t, int32_t key);
void delete_(table* t, int32_t key);
void clear(table* t);
void free(table* t);
// The live pair after `after` (null: the first); null at the end. A pair is
// two int32: key, value.
const int32_t* next(const table* t, const int32_t* after);

}  // namespace kel::int_map
