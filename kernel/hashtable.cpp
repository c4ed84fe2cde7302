// hashtable: tables of kinds 0-4 and the heap integer map. See hashtable.h
// for the layout and the position rules.
#include "kernel/hashtable.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernel/random.h"
#include "kernel/stack.h"
#include "kernel/fold.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "kernel/symbol_table.h"

namespace kel::hashtable {

void (*normalize_map_key)(kel_value* key) = nullptr;

namespace {

using memory::buffer_header;
using memory::buffer_of;

// The largest bucket count a table may take (1 GiB of keys).
constexpr uint64_t max_buckets = uint64_t{1} << 28;

inline table_header* hdr(uint32_t table) { return reinterpret_cast<table_header*>(buffer_of(table)->head_ptr()); }
inline uint32_t* flag_words(const table_header* t) { return reinterpret_cast<uint32_t*>(buffer_of(t->flags)->head_ptr()); }
inline int32_t* key_array(const table_header* t) { return reinterpret_cast<int32_t*>(buffer_of(t->keys)->head_ptr()); }
// map!: the hash of each used bucket's key (the `chains` word holds the
// array's node; maps have no chains). A probe compares a stored key only
// when its hash is the one looked for, and growing needs no key read.
inline uint32_t* tag_array(const table_header* t) { return reinterpret_cast<uint32_t*>(buffer_of(t->chains)->head_ptr()); }
inline bool tagged(const table_header* t) { return t->kind == kinds::map && t->chains != 0; }

inline uint32_t flag_at(const uint32_t* f, uint32_t i) { return (f[i >> 4] >> ((i & 15u) * 2)) & 3u; }
inline void set_flag(uint32_t* f, uint32_t i, uint32_t state) {
    const uint32_t s = (i & 15u) * 2;
    f[i >> 4] = (f[i >> 4] & ~(3u << s)) | (state << s);
}

// Cells of the indexed series, counted from its first used cell.
inline kel_value* cell_at(uint32_t blk, int32_t position) {
    return reinterpret_cast<kel_value*>(buffer_of(blk)->head_ptr()) + position;
}
inline int32_t series_cells(uint32_t blk) { return static_cast<int32_t>(buffer_of(blk)->used() / 16); }

[[noreturn]] void too_large() { fire(error_category::internal, "no-memory"); }

uint64_t pow2_at_or_above(uint64_t v) {
    uint64_t n = 1;
    while (n < v) n <<= 1;
    return n;
}

uint32_t flag_bytes(uint32_t n) { return memory::round16(n / 4 ? n / 4 : 1); }

// A byte series of `size` bytes filled with `byte`, all of it counted as used.
uint32_t filled_array(uint32_t size, uint8_t byte) {
    const uint32_t node = memory::new_filled_bytes(size, byte);
    buffer_header* h = buffer_of(node);
    h->tail = h->head + size;
    return node;
}

// --- equality through the compare handlers ---------------------------------

// Answers the compare protocol's boolean for an equality op: value1's handler
// decides; a type without one compares its cells bit for bit.
bool compare_true(const kel_value* value1, const kel_value* value2, int32_t op) {
    const kel_value a = *value1, b = *value2;  // handlers may move the buffers these lie in
    compare_fn fn = type_of(&a) < static_cast<uint32_t>(types::table_rows) ? registry::compare_handler(type_of(&a))
                                                                          : nullptr;
    int32_t r;
    if (type_of(&a) == types::vector && type_of(&b) == types::vector && a.w3 != b.w3) {
        // Vectors of two element types refuse to be compared at all; here
        // they only met by sharing a bucket, so they are simply two keys.
        r = 1;
    } else if (fn) {
        r = fn(&a, &b, op);
    } else {
        r = (type_of(&a) == type_of(&b) && a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3) ? 0 : 1;
    }
    return op == cmp::not_equal ? r != 0 : r == 0;
}

// --- chains (kind 0) -------------------------------------------------------------
// The chain store is an array of 32-bit entries; entry 0 heads the list of
// free chain numbers, entry c holds the node of chain c or, when free, the
// next free chain number (below the node base). A chain is an int32 array of
// positions in insertion order.

inline uint32_t* store_entries(uint32_t store) { return reinterpret_cast<uint32_t*>(buffer_of(store)->head_ptr()); }
inline uint32_t store_length(uint32_t store) { return buffer_of(store)->used() / 4; }

uint32_t new_chain_store() {
    const uint32_t node = memory::new_bytes(16);
    buffer_header* h = buffer_of(node);
    std::memset(h->data(), 0, h->capacity);
    h->tail = h->head + 4;
    return node;
}

uint32_t chain_node(uint32_t table, uint32_t chain) { return store_entries(hdr(table)->chains)[chain]; }

int32_t* chain_data(uint32_t node, uint32_t* length) {
    buffer_header* h = buffer_of(node);
    *length = h->used() / 4;
    return reinterpret_cast<int32_t*>(h->head_ptr());
}

void chain_append(uint32_t node, int32_t position) {
    char* p = memory::claim_tail_bytes(node, 4);
    std::memcpy(p, &position, 4);
}

// A new chain holding two positions; answers its number.
uint32_t chain_new(uint32_t table, int32_t first, int32_t second) {
    const uint32_t node = memory::new_bytes(16);
    chain_append(node, first);
    chain_append(node, second);
    const uint32_t store = hdr(table)->chains;
    uint32_t* e = store_entries(store);
    uint32_t c = e[0];
    if (c != 0) {
        e[0] = e[c];  // next free
        e[c] = node;
        return c;
    }
    c = store_length(store);
    parking p;
    p.node(node);
    char* slot = memory::claim_tail_bytes(store, 4);
    std::memcpy(slot, &node, 4);
    p.release();
    return c;
}

void chain_free(uint32_t table, uint32_t chain) {
    uint32_t* e = store_entries(hdr(table)->chains);
    e[chain] = e[0];
    e[0] = chain;
}

// Removes a position from a chain; answers the positions left.
uint32_t chain_remove(uint32_t node, int32_t position) {
    uint32_t n;
    int32_t* d = chain_data(node, &n);
    for (uint32_t i = 0; i < n; ++i) {
        if (d[i] != position) continue;
        std::memmove(d + i, d + i + 1, static_cast<size_t>(n - i - 1) * 4);
        buffer_of(node)->tail -= 4;
        return n - 1;
    }
    return n;
}

// --- the position -> bucket array (kind 0) ------------------------------------------

inline int32_t* index_array(const table_header* t, uint32_t* length) {
    buffer_header* h = buffer_of(t->indexes);
    *length = h->used() / 4;
    return reinterpret_cast<int32_t*>(h->head_ptr());
}

// Makes the array hold at least `length` entries, new ones -1.
void ensure_indexes(uint32_t table, uint32_t length) {
    const uint32_t node = hdr(table)->indexes;
    buffer_header* h = buffer_of(node);
    const uint32_t have = h->used() / 4;
    if (have >= length) return;
    if (static_cast<uint64_t>(length) * 4 > 0x7FFFFFF0ull) too_large();
    if (h->head + length * 4 > h->capacity)
        h = memory::expand_buffer_filled(h, std::max(length * 4, 2 * h->capacity), 0xFF);
    std::memset(h->head_ptr() + have * 4, 0xFF, static_cast<size_t>(length - have) * 4);
    h->tail = h->head + length * 4;
}

void set_index(uint32_t table, int32_t position, int32_t bucket_plus_one) {
    ensure_indexes(table, static_cast<uint32_t>(position) + 1);
    uint32_t n;
    index_array(hdr(table), &n)[position] = bucket_plus_one;
}

// --- sizing and the fresh arrays -----------------------------------------------------

struct sizing {
    uint32_t n;
    uint32_t bound;
};

// make's sizing: n = the power of two at or above size / 0.77; bound = n x 0.77.
sizing make_sizing(int64_t size) {
    if (size < 4) size = 4;
    const uint64_t want = static_cast<uint64_t>(static_cast<double>(size) / 0.77);
    const uint64_t n = pow2_at_or_above(want);
    if (n > max_buckets) too_large();
    return {static_cast<uint32_t>(n), static_cast<uint32_t>(static_cast<double>(n) * 0.77)};
}

// Fresh flags (all empty) and keys (zero) for n buckets.
void fresh_arrays(uint32_t table, uint32_t n, parking& p) {
    const uint32_t flags = filled_array(flag_bytes(n), 0xAA);
    p.node(flags);
    const uint32_t keys = filled_array(n * 4, 0);
    p.node(keys);
    uint32_t tags = 0;
    if (hdr(table)->kind == kinds::map) {
        tags = filled_array(n * 4, 0);
        p.node(tags);
    }
    table_header* t = hdr(table);
    t->flags = flags;
    t->keys = keys;
    if (tags) t->chains = tags;
    t->n_buckets = n;
}

// --- probing -------------------------------------------------------------------------

// Walks the probe sequence from `hash`; `visit(bucket, state)` answers true
// to stop. Answers the bucket it stopped at, or -1 after a full cycle.
template <class Visit>
int64_t probe(uint32_t table, uint32_t hash, Visit visit) {
    const uint32_t n = hdr(table)->n_buckets;
    const uint32_t mask = n - 1;
    uint32_t i = hash & mask;
    for (uint32_t step = 0; step < n; ++step) {
        const uint32_t state = flag_at(flag_words(hdr(table)), i);
        if (visit(i, state)) return i;
        i = (i + step + 1) & mask;
    }
    return -1;
}

// The hash of the key a bucket holds, for re-insertion.
uint32_t stored_hash(uint32_t table, int32_t key) {
    const table_header* t = hdr(table);
    if (t->kind >= kinds::records) {
        const kel_value* rec = reinterpret_cast<const kel_value*>(buffer_of(t->blk)->head_ptr() + key);
        return fmix32(rec->w1);
    }
    int32_t position = key & 0x7FFFFFFF;
    if (t->kind == kinds::hash && key < 0) {
        uint32_t len;
        position = chain_data(chain_node(table, static_cast<uint32_t>(-key)), &len)[0];
    }
    const kel_value v = *cell_at(t->blk, position);
    return hash_value(&v, false);
}

// Resize in place for a requested size (kinds 1, 2, >= 3).
void resize(uint32_t table, uint64_t requested) {
    uint64_t n2 = pow2_at_or_above(requested);
    if (n2 < 4) n2 = 4;
    if (n2 > max_buckets) too_large();
    const uint32_t n_new = static_cast<uint32_t>(n2);
    const uint32_t bound = static_cast<uint32_t>(static_cast<double>(n_new) * 0.77 + 0.5);
    if (hdr(table)->count >= bound) return;
    const uint32_t new_flags = filled_array(flag_bytes(n_new), 0xAA);
    const uint32_t n_old = hdr(table)->n_buckets;
    if (n_new > n_old) {
        parking p;
        p.node(new_flags);
        buffer_header* k = buffer_of(hdr(table)->keys);
        k = memory::expand_buffer_filled(k, n_new * 4, 0);
        std::memset(k->head_ptr() + n_old * 4, 0, static_cast<size_t>(n_new - n_old) * 4);
        k->tail = k->head + n_new * 4;
        if (tagged(hdr(table))) {
            buffer_header* g = buffer_of(hdr(table)->chains);
            g = memory::expand_buffer_filled(g, n_new * 4, 0);
            std::memset(g->head_ptr() + n_old * 4, 0, static_cast<size_t>(n_new - n_old) * 4);
            g->tail = g->head + n_new * 4;
        }
        p.release();
    }
    // From here on nothing allocates: the addresses stay valid.
    table_header* t = hdr(table);
    uint32_t* old_f = flag_words(t);
    uint32_t* new_f = reinterpret_cast<uint32_t*>(buffer_of(new_flags)->head_ptr());
    int32_t* keys = key_array(t);
    uint32_t* tags = tagged(t) ? tag_array(t) : nullptr;
    // A map's keys are hashed afresh from what they hold now (a key string
    // changed in place moves with its new text, as it always did), in the
    // order they lie in the series, which reads their text far more
    // cheaply than the bucket order would.
    std::vector<uint32_t> fresh;
    if (tags) {
        const int32_t cells = series_cells(t->blk);
        fresh.resize(static_cast<size_t>(cells / 2 + 1));
        const kel_value* c = cell_at(t->blk, 0);
        for (int32_t p = 0; p + 1 < cells; p += 2) fresh[static_cast<size_t>(p / 2)] = hash_value(c + p, false);
    }
    const uint32_t mask = n_new - 1;
    for (uint32_t j = 0; j < n_old; ++j) {
        if (flag_at(old_f, j) != bucket_used) continue;
        int32_t key = keys[j];
        uint32_t tag = tags ? tags[j] : 0;
        set_flag(old_f, j, bucket_deleted);
        for (;;) {
            if (tags) tag = fresh[static_cast<size_t>(key / 2)];
            uint32_t b = (tags ? tag : stored_hash(table, key)) & mask;
            for (uint32_t step = 0; flag_at(new_f, b) != bucket_empty; ++step) b = (b + step + 1) & mask;
            set_flag(new_f, b, bucket_used);
            if (b < n_old && flag_at(old_f, b) == bucket_used) {
                // Kick out the key still waiting there and place it next.
                std::swap(key, keys[b]);
                if (tags) std::swap(tag, tags[b]);
                set_flag(old_f, b, bucket_deleted);
                continue;
            }
            keys[b] = key;
            if (tags) tags[b] = tag;
            break;
        }
    }
    t->flags = new_flags;
    t->n_buckets = n_new;
    if (t->kind != kinds::map) t->occupied = t->count;
    t->upper_bound = bound;
}

// The size a full table asks for (before the kind-2 factor).
uint64_t regrowth_size(const table_header* t) {
    if (t->kind == kinds::map) return uint64_t{t->n_buckets} + 1;
    return t->n_buckets > 2 * t->count ? uint64_t{t->n_buckets} - 1 : uint64_t{t->n_buckets} + 1;
}

// Grows a full table of kinds 1, 2 or >= 3 before an insertion.
void ensure_room(uint32_t table) {
    const table_header* t = hdr(table);
    if (t->occupied < t->upper_bound) return;
    uint64_t n = regrowth_size(t);
    if (t->kind == kinds::words) n *= 16;
    resize(table, n);
}

void reset_arrays(uint32_t table) {
    table_header* t = hdr(table);
    t->count = 0;
    t->occupied = 0;
    std::memset(flag_words(t), 0xAA, flag_bytes(t->n_buckets));
    std::memset(key_array(t), 0, static_cast<size_t>(t->n_buckets) * 4);
    if (t->kind == kinds::hash) {
        uint32_t n;
        int32_t* idx = index_array(t, &n);
        std::memset(idx, 0xFF, static_cast<size_t>(n) * 4);
        buffer_header* s = buffer_of(t->chains);
        std::memset(s->head_ptr(), 0, 4);
        s->tail = s->head + 4;
    }
}

// --- kind 0 and 1 insertion --------------------------------------------------------------

// Positions of a kind-0 bucket: the chain, or the single position. (No
// pointer to its own field: a copy of it would point into the original.)
struct positions {
    const int32_t* chain;  // null: the single position
    uint32_t count;
    int32_t single;
    int32_t operator[](uint32_t j) const { return chain ? chain[j] : single; }
};
positions bucket_positions(uint32_t table, int32_t key) {
    positions p{nullptr, 1, key};
    if (key >= 0) return p;
    uint32_t n;
    p.chain = chain_data(chain_node(table, static_cast<uint32_t>(-key)), &n);
    p.count = n;
    return p;
}

int put_hash(uint32_t table, int32_t position) {
    {
        const table_header* t = hdr(table);
        if (t->occupied >= t->upper_bound) {
            rehash(table, static_cast<int32_t>(std::min<uint64_t>(regrowth_size(t), 0x7FFFFFFF)));
            return 2;
        }
    }
    const kel_value key = *cell_at(hdr(table)->blk, position);
    int64_t first_deleted = -1;
    int64_t joined = -1;
    const int64_t stop = probe(table, hash_value(&key, false), [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_deleted) {
            if (first_deleted < 0) first_deleted = i;
            return false;
        }
        const int32_t k = key_array(hdr(table))[i];
        const int32_t first = bucket_positions(table, k)[0];
        const kel_value v = *cell_at(hdr(table)->blk, first);
        if (type_of(&v) != type_of(&key)) return false;
        // Copies of one value that is unequal to itself (a NaN) share a bucket
        // too: each would else take a bucket of its own further along the one
        // probe sequence their common hash gives, so that every insertion
        // walked all of them. Searches still weigh them under their own op.
        // The whole cell counts but its line-break mark (money! keeps its
        // sign in the header).
        const bool copy = ((v.header ^ key.header) & ~header_new_line) == 0 && v.w1 == key.w1 && v.w2 == key.w2 &&
                          v.w3 == key.w3;
        if (copy || compare_true(&v, &key, cmp::equal)) {
            joined = i;
            return true;
        }
        return false;
    });
    if (joined >= 0) {
        const uint32_t b = static_cast<uint32_t>(joined);
        const int32_t k = key_array(hdr(table))[b];
        if (k >= 0) {
            const uint32_t c = chain_new(table, k, position);
            key_array(hdr(table))[b] = -static_cast<int32_t>(c);
        } else {
            chain_append(chain_node(table, static_cast<uint32_t>(-k)), position);
        }
        hdr(table)->count++;
        set_index(table, position, static_cast<int32_t>(b) + 1);
        return 0;
    }
    if (first_deleted < 0 && stop < 0) return 0;  // cannot happen: the bound keeps buckets empty
    const uint32_t b = static_cast<uint32_t>(first_deleted >= 0 ? first_deleted : stop);
    table_header* t = hdr(table);
    if (flag_at(flag_words(t), b) == bucket_empty) t->occupied++;
    t->count++;
    set_flag(flag_words(t), b, bucket_used);
    key_array(t)[b] = position;
    set_index(table, position, static_cast<int32_t>(b) + 1);
    return 0;
}

void put_map(uint32_t table, int32_t position) {
    ensure_room(table);
    const kel_value key = *cell_at(hdr(table)->blk, position);
    int64_t first_deleted = -1;
    bool present = false;
    const uint32_t h = hash_value(&key, false);
    const int64_t stop = probe(table, h, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_deleted) {
            if (first_deleted < 0) first_deleted = i;
            return false;
        }
        if (tagged(hdr(table)) && tag_array(hdr(table))[i] != h) return false;
        const kel_value stored = *cell_at(hdr(table)->blk, key_array(hdr(table))[i]);
        if (compare_true(&stored, &key, cmp::strict_equal)) {
            present = true;
            return true;
        }
        return false;
    });
    if (present || (first_deleted < 0 && stop < 0)) return;
    const uint32_t b = static_cast<uint32_t>(first_deleted >= 0 ? first_deleted : stop);
    table_header* t = hdr(table);
    if (flag_at(flag_words(t), b) == bucket_empty) t->occupied++;
    t->count++;
    set_flag(flag_words(t), b, bucket_used);
    key_array(t)[b] = position;
    if (tagged(t)) tag_array(t)[b] = h;
}

// Kind 2: a word (or symbol) cell already in the series joins the index
// unless its canonical symbol is there.
void put_words(uint32_t table, int32_t position) {
    ensure_room(table);
    const kel_value v = *cell_at(hdr(table)->blk, position);
    const uint32_t h = hash_value(&v, false);
    const bool is_symbol = type_of(&v) == types::symbol;
    const uint32_t wanted = is_symbol ? 0 : symbol_table::resolve(word_symbol(&v));
    bool present = false;
    const int64_t stop = probe(table, h, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state != bucket_used) return false;
        const int32_t k = key_array(hdr(table))[i];
        if (k == position) present = true;
        else if (!is_symbol) present = symbol_table::resolve(word_symbol(cell_at(hdr(table)->blk, k))) == wanted;
        return present;
    });
    if (present || stop < 0) return;
    table_header* t = hdr(table);
    t->occupied++;
    t->count++;
    set_flag(flag_words(t), static_cast<uint32_t>(stop), bucket_used);
    key_array(t)[stop] = position;
}

// Candidate test of hash! find. /last counts the skip from the head, as a
// forward search does, so records stay aligned.
bool position_fits(int32_t p, int32_t head, int32_t skip, bool reverse) {
    if (reverse) return p < head && (head - p - 1) % skip == 0;
    return p >= head && (p - head) % skip == 0;
}

// A key as map! looks it up: the word kinds as set-word!.
kel_value map_lookup_key(const kel_value* key) {
    kel_value k = *key;
    const uint32_t t = type_of(&k);
    if (t == types::word || t == types::lit_word || t == types::get_word) set_type(&k, types::set_word);
    return k;
}

bool map_key_matches(const kel_value* stored, const kel_value* key, int32_t op) {
    if (type_of(key) != key_type && type_of(stored) != type_of(key)) return false;
    return compare_true(stored, key, op);
}

// Applies a position mapping to the stored positions of hash! values
// [lo, hi) and moves their position -> bucket entries to the new positions.
template <class Map>
void remap_positions(uint32_t table, int32_t lo, int32_t hi, Map f) {
    if (hi <= lo) return;
    const uint32_t span = static_cast<uint32_t>(hi - lo);
    ensure_indexes(table, static_cast<uint32_t>(hi));
    int32_t max_target = hi;
    for (int32_t p = lo; p < hi; ++p) max_target = std::max(max_target, f(p) + 1);
    ensure_indexes(table, static_cast<uint32_t>(max_target));
    auto* saved = static_cast<int32_t*>(heap::allocate(static_cast<size_t>(span) * 4));
    uint32_t* chains = nullptr;
    uint32_t chain_count = 0;
    {
        uint32_t n;
        int32_t* idx = index_array(hdr(table), &n);
        std::memcpy(saved, idx + lo, static_cast<size_t>(span) * 4);
        std::memset(idx + lo, 0xFF, static_cast<size_t>(span) * 4);
    }
    // Singles change where they are; chains are collected and changed once.
    for (uint32_t i = 0; i < span; ++i) {
        if (saved[i] <= 0) continue;
        int32_t* keys = key_array(hdr(table));
        const int32_t k = keys[saved[i] - 1];
        if (k >= 0) {
            keys[saved[i] - 1] = f(k);
        } else {
            if (!chains) chains = static_cast<uint32_t*>(heap::allocate(static_cast<size_t>(span) * 4));
            chains[chain_count++] = static_cast<uint32_t>(-k);
        }
    }
    if (chains) {
        std::sort(chains, chains + chain_count);
        const uint32_t* end = std::unique(chains, chains + chain_count);
        for (const uint32_t* c = chains; c != end; ++c) {
            uint32_t n;
            int32_t* d = chain_data(chain_node(table, *c), &n);
            for (uint32_t j = 0; j < n; ++j) d[j] = f(d[j]);
        }
        heap::free(chains);
    }
    {
        uint32_t n;
        int32_t* idx = index_array(hdr(table), &n);
        for (uint32_t i = 0; i < span; ++i) idx[f(lo + static_cast<int32_t>(i))] = saved[i];
    }
    heap::free(saved);
}

}  // namespace

// --- parking ------------------------------------------------------------------------

void parking::node(uint32_t n) {
    if (!stack::ready() || n == 0) return;
    kel_value* c = stack::push_unset();
    set_series(c, types::binary, 0, n);
    ++cells;
}

void parking::table(uint32_t t) {
    if (!stack::ready() || t == 0) return;
    kel_value* c = stack::push_unset();
    c->header = types::context | header_context_stack;  // its word table, no values
    c->w1 = t;
    ++cells;
}

void parking::release() {
    if (cells) stack::drop_cells(cells);
    cells = 0;
}

// --- access --------------------------------------------------------------------------

table_header* header_of(uint32_t table) { return hdr(table); }

uint32_t bucket_state(uint32_t table, uint32_t bucket) { return flag_at(flag_words(hdr(table)), bucket); }

int32_t bucket_key(uint32_t table, uint32_t bucket) { return key_array(hdr(table))[bucket]; }

uint32_t chain_positions(uint32_t table, uint32_t chain, const int32_t** first) {
    uint32_t n;
    *first = chain_data(chain_node(table, chain), &n);
    return n;
}

int32_t index_of_position(uint32_t table, int32_t position) {
    uint32_t n;
    const int32_t* idx = index_array(hdr(table), &n);
    return position >= 0 && static_cast<uint32_t>(position) < n ? idx[position] : -1;
}

// --- hashing -------------------------------------------------------------------------

namespace hash_by {

uint32_t zero(const kel_value*, bool) { return 0; }
uint32_t unset(const kel_value*, bool) { return static_cast<uint32_t>(-2); }
uint32_t none(const kel_value*, bool) { return static_cast<uint32_t>(-1); }
uint32_t w1(const kel_value* v, bool) { return fmix32(v->w1); }
uint32_t w2(const kel_value* v, bool) { return fmix32(v->w2); }
uint32_t w3(const kel_value* v, bool) { return fmix32(v->w3); }
uint32_t words_2_3(const kel_value* v, bool) { return murmur3(reinterpret_cast<const uint8_t*>(v) + 8, 8); }
uint32_t words_1_2(const kel_value* v, bool) { return murmur3(reinterpret_cast<const uint8_t*>(v) + 4, 8); }
uint32_t words_1_3(const kel_value* v, bool) { return murmur3(reinterpret_cast<const uint8_t*>(v) + 4, 12); }
// -0.0 equals 0.0 (also strictly), so both must land in the same bucket:
// the sign bit of a zero is left out of the hashed bits.
uint32_t float64(const kel_value* v, bool) {
    uint64_t bits = uint64_t{v->w2} | (uint64_t{v->w3} << 32);
    if (bits == uint64_t{1} << 63) bits = 0;
    return murmur3(&bits, 8);
}
uint32_t float32s(const kel_value* v, bool) {
    uint32_t words[3] = {v->w1, v->w2, v->w3};
    const size_t n = type_of(v) == types::point3d ? 3 : 2;
    for (size_t i = 0; i < n; ++i)
        if (words[i] == 0x80000000u) words[i] = 0;
    return murmur3(words, n * 4);
}
// Over the bytes without the trailing zeros past the third: 1.2.3 and
// 1.2.3.0 are equal, so they must land in the same bucket.
uint32_t tuple(const kel_value* v, bool) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(v) + 4;
    uint32_t n = std::min<uint32_t>((v->header >> 19) & 0xFu, 12u);
    while (n > 3 && bytes[n - 1] == 0) --n;
    return murmur3(bytes, n);
}
uint32_t spelling(const kel_value* v, bool) {
    const memory::buffer_header* h = buffer_of(v->w3);
    return murmur3_name(h->data() + h->head, h->used());
}
uint32_t any_string(const kel_value* v, bool case_sensitive) {
    const memory::buffer_header* h = buffer_of(v->w2);
    const uint32_t unit = h->unit();
    const int64_t total = static_cast<int64_t>(h->units());
    const int64_t head = std::max<int64_t>(static_cast<int32_t>(v->w1), 0);
    int64_t count = std::max<int64_t>(total - head, 0);
    if (type_of(v) == key_type && static_cast<int32_t>(v->w3) >= 0)
        count = std::min<int64_t>(count, static_cast<int32_t>(v->w3));
    const char* p = h->data() + h->head + head * unit;
    murmur_state s = murmur_start(random::hash_seed());
    // One loop per unit width and case rule: map! keys and set keys are
    // hashed on every lookup, and most are short byte-wide text.
    if (unit == 1) {
        const auto* b = reinterpret_cast<const uint8_t*>(p);
        if (case_sensitive) {
            for (int64_t i = 0; i < count; ++i) murmur_block(s, b[i]);
        } else {
            for (int64_t i = 0; i < count; ++i) murmur_block(s, fold_upper(b[i]));
        }
    } else {
        for (int64_t i = 0; i < count; ++i) {
            uint32_t cp = 0;
            if (unit == 2) { uint16_t u; std::memcpy(&u, p + 2 * i, 2); cp = u; }
            else std::memcpy(&cp, p + 4 * i, 4);
            murmur_block(s, case_sensitive ? cp : fold_upper(cp));
        }
    }
    return murmur_finish(s, static_cast<uint32_t>(count * 4));
}
uint32_t bytes(const kel_value* v, bool) {
    const memory::buffer_header* h = buffer_of(v->w2);
    const int64_t head = std::max<int64_t>(static_cast<int32_t>(v->w1), 0);
    const int64_t n = std::max<int64_t>(static_cast<int64_t>(h->used()) - head, 0);
    return murmur3(h->data() + h->head + (n ? head : 0), static_cast<size_t>(n));
}
uint32_t whole_cell_signed(const kel_value* v, bool) {
    kel_value m = *v;
    m.header = type_of(v) | (v->header & 0x4000u);
    return murmur3(&m, 16);
}

}  // namespace hash_by

uint32_t hash_value(const kel_value* value, bool case_sensitive) {
    const kel_value v = *value;
    const uint32_t type = type_of(&v);
    if (type == key_type) return hash_by::any_string(&v, case_sensitive);
    const registry::hash_fn hash = type < static_cast<uint32_t>(types::table_rows) ? registry::hashers[type] : nullptr;
    return hash ? hash(&v, case_sensitive) : 0;
}

// --- making ------------------------------------------------------------------------------

uint32_t make(int32_t size, const kel_value* series, uint32_t kind, int32_t extra) {
    const kel_value v = series ? *series : kel_value{types::none, 0, 0, 0};
    const bool has_series = series && type_of(&v) != types::none;
    if (kind == kinds::words && extra == 2 && has_series && type_of(&v) == types::context) {
        // A prototype context: its word table is copied with its words block.
        const uint32_t proto = v.w1;
        const uint32_t words = memory::copy_buffer(buffer_of(hdr(proto)->blk));
        parking p;
        p.node(words);
        const uint32_t table = copy(proto, words);
        p.release();
        return table;
    }
    int64_t s = size;
    if (kind == kinds::words && s >= 4000) s *= 2;
    const sizing z = make_sizing(s);
    parking p;
    const uint32_t table = memory::new_bytes(sizeof(table_header));
    memory::set_series_flags(table, memory::flag_table);  // however it is reached, it is marked as a table
    p.node(table);
    {
        buffer_header* h = buffer_of(table);
        std::memset(h->data(), 0, h->capacity);
        h->tail = h->head + sizeof(table_header);
    }
    hdr(table)->kind = kind;
    if (kind >= kinds::records) {
        hdr(table)->indexes = static_cast<uint32_t>(extra + 1) * 16;
        hdr(table)->stamp = 1;
    }
    fresh_arrays(table, z.n, p);
    hdr(table)->upper_bound = z.bound;
    const uint32_t rows = static_cast<uint32_t>(std::max<int64_t>(s, 4));
    if (kind == kinds::hash) {
        const uint32_t idx = filled_array(rows * 4, 0xFF);
        hdr(table)->indexes = idx;
        p.node(idx);
        const uint32_t store = new_chain_store();
        hdr(table)->chains = store;
        p.node(store);
    }
    if (kind >= kinds::records || !has_series) {
        const uint32_t blk = memory::new_cells(rows);
        hdr(table)->blk = blk;
        p.release();
        return table;
    }
    hdr(table)->blk = series_node(&v);
    if (kind == kinds::hash || kind == kinds::map) {
        // The finished table is reachable while its series is indexed.
        if (stack::ready()) {
            kel_value* holder = stack::push_unset();
            set_series(holder, kind == kinds::hash ? types::hash : types::map, 0, series_node(&v), table);
            p.cells++;
        }
        put_all(table, std::max(series_head(&v), 0), kind == kinds::map ? 2 : 1);
    }
    p.release();
    return table;
}

uint32_t copy(uint32_t table, uint32_t series_node) {
    parking p;
    const uint32_t node = memory::copy_buffer(buffer_of(table));
    p.node(node);
    const uint32_t flags = memory::copy_buffer(buffer_of(hdr(table)->flags));
    hdr(node)->flags = flags;
    p.node(flags);
    const uint32_t keys = memory::copy_buffer(buffer_of(hdr(table)->keys));
    hdr(node)->keys = keys;
    p.node(keys);
    hdr(node)->blk = series_node;
    if (tagged(hdr(table))) {
        const uint32_t tags = memory::copy_buffer(buffer_of(hdr(table)->chains));
        hdr(node)->chains = tags;
        p.node(tags);
    }
    if (hdr(table)->kind == kinds::hash) {
        const uint32_t idx = memory::copy_buffer(buffer_of(hdr(table)->indexes));
        hdr(node)->indexes = idx;
        p.node(idx);
        const uint32_t store = memory::copy_buffer(buffer_of(hdr(table)->chains));
        hdr(node)->chains = store;
        // The copy is a whole table now (its chains still the original's),
        // so it is kept as a table while the chains are copied one by one.
        p.table(node);
        const uint32_t n = store_length(store);
        for (uint32_t c = 1; c < n; ++c) {
            const uint32_t chain = store_entries(store)[c];
            if (chain < memory::node_base) continue;  // a free slot
            const uint32_t fresh = memory::copy_buffer(buffer_of(chain));
            store_entries(store)[c] = fresh;
        }
    }
    p.release();
    return node;
}

void clear(uint32_t table) {
    reset_arrays(table);
    buffer_header* b = buffer_of(hdr(table)->blk);
    b->tail = b->head;
}

void discard(uint32_t) {}

void rehash(uint32_t table, int32_t size) {
    if (hdr(table)->kind != kinds::hash) {
        uint64_t n = static_cast<uint64_t>(std::max(size, 0));
        if (hdr(table)->kind == kinds::words) n *= 16;
        resize(table, n);
        return;
    }
    const uint64_t want = static_cast<uint64_t>(static_cast<double>(std::max(size, 0)) * 1.5);
    uint64_t n = pow2_at_or_above(want);
    if (n > max_buckets) too_large();
    const uint32_t bound = static_cast<uint32_t>(static_cast<double>(n) * 0.77);
    if (n < 4) n = 4;
    parking p;
    fresh_arrays(table, static_cast<uint32_t>(n), p);
    {
        table_header* t = hdr(table);
        t->upper_bound = bound;
        t->stamp = 1;
        t->count = 0;
        t->occupied = 0;
        uint32_t len;
        int32_t* idx = index_array(t, &len);
        std::memset(idx, 0xFF, static_cast<size_t>(len) * 4);
    }
    const uint32_t store = new_chain_store();
    hdr(table)->chains = store;
    p.release();
    put_all(table, 0, 1);
}

// --- indexing ------------------------------------------------------------------------------

int put_reporting(uint32_t table, int32_t position) {
    switch (hdr(table)->kind) {
        case kinds::hash: return put_hash(table, position);
        case kinds::map: put_map(table, position); return 0;
        case kinds::words: put_words(table, position); return 0;
        default: return 0;
    }
}

void put(uint32_t table, int32_t position) { (void)put_reporting(table, position); }

bool equals_nothing(const kel_value* key) {
    switch (type_of(key)) {
        case types::float_:
        case types::percent:
        case types::time:
        case types::point2d:
        case types::point3d: return !compare_true(key, key, cmp::strict_equal);
        default: return false;
    }
}

bool first_of_pattern(uint32_t table, const kel_value* key) {
    map_slot slot;
    return find_map(table, key, cmp::same, &slot) == nullptr;
}

void count_unindexed(uint32_t table) {
    table_header* t = hdr(table);
    t->count++;
    if (t->count >= t->upper_bound) rehash(table, static_cast<int32_t>(t->n_buckets + 1));
}

void put_all(uint32_t table, int32_t head, int32_t step) {
    if (step < 1) step = 1;
    if (head < 0) head = 0;
    if (hdr(table)->kind != kinds::map) {
        for (int32_t p = head; p < series_cells(hdr(table)->blk); p += step)
            if (put_reporting(table, p) == 2) return;
        return;
    }
    // Pairs whose key came earlier give that entry their value and are cut
    // out; the pairs kept are moved down over them as the walk goes (r reads,
    // w writes), so many repeats cost one pass.
    int32_t r = head, w = head;
    while (r + 1 < series_cells(hdr(table)->blk)) {
        const uint32_t blk = hdr(table)->blk;
        const kel_value key = *cell_at(blk, r);
        const bool lone = equals_nothing(&key);
        if (!lone) {
            if (kel_value* earlier = find(table, &key, 0, 1, cmp::strict_equal, false, false)) {
                *(earlier + 1) = *cell_at(blk, r + 1);
                r += 2;
                continue;
            }
        }
        if (w != r) {
            kel_value* c = cell_at(blk, 0);
            c[w] = c[r];
            c[w + 1] = c[r + 1];
        }
        r += 2;
        if (lone && !first_of_pattern(table, &key)) {
            count_unindexed(table);  // see equals_nothing
        } else {
            put_map(table, w);
        }
        if (normalize_map_key) {
            // The rule may allocate (a key copy): it works on a copy, put
            // back by position into the buffer as it then stands.
            kel_value key_copy = *cell_at(hdr(table)->blk, w);
            normalize_map_key(&key_copy);
            *cell_at(hdr(table)->blk, w) = key_copy;
        }
        w += 2;
    }
    if (w == r) return;
    // A key left without its value stays last.
    if (r < series_cells(hdr(table)->blk)) {
        kel_value* c = cell_at(hdr(table)->blk, 0);
        c[w++] = c[r++];
    }
    buffer_of(hdr(table)->blk)->tail -= static_cast<uint32_t>(r - w) * 16;
}

kel_value* find(uint32_t table, const kel_value* key_cell, int32_t head, int32_t skip, int32_t op, bool last,
                bool reverse) {
    if (skip < 1) skip = 1;
    const uint32_t kind = hdr(table)->kind;
    if (kind == kinds::map) {
        map_slot unused;
        return find_map(table, key_cell, op, &unused);
    }
    if (kind != kinds::hash) return nullptr;
    const kel_value key = *key_cell;
    int32_t best = -1;
    probe(table, hash_value(&key, false), [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_deleted) return false;
        const int32_t k = key_array(hdr(table))[i];
        const kel_value first = *cell_at(hdr(table)->blk, bucket_positions(table, k)[0]);
        // A bucket holds values of one type. Under the block searches' ops
        // one of another type is passed over without a compare call, which
        // might raise (money! against a NaN) where a walk never compares.
        if (op != cmp::equal && type_of(&first) != type_of(&key)) return false;
        if (!compare_true(&first, &key, cmp::equal)) return false;
        const uint32_t n = bucket_positions(table, k).count;
        for (uint32_t j = 0; j < n; ++j) {
            // Re-read each time: a compare handler may move the chain.
            const int32_t p = bucket_positions(table, k)[j];
            if (!position_fits(p, head, skip, reverse)) continue;
            const bool better = best < 0 || ((last || reverse) ? p > best : p < best);
            if (!better) continue;
            const kel_value candidate = *cell_at(hdr(table)->blk, p);
            // The comparisons of block searches (find, /case, /same) take
            // values of the key's type only, as a block walk does (a compare
            // handler may call a value of another type the same: an integer!
            // and the money! of its amount under /same), and the key is the
            // first operand (money!'s find equality is one-sided: a key of
            // no currency does not find an amount in dollars).
            if ((op == cmp::equal || type_of(&candidate) == type_of(&key)) && compare_true(&key, &candidate, op))
                best = p;
        }
        // Values of another type that compare equal (a word! and a set-word!
        // of one name) sit in buckets of their own further on: all of them
        // are weighed, so the answer is the one a walk would give.
        return false;
    });
    return best >= 0 ? cell_at(hdr(table)->blk, best) : nullptr;
}

kel_value* find_map(uint32_t table, const kel_value* key_cell, int32_t op, map_slot* slot) {
    const kel_value key = map_lookup_key(key_cell);
    const uint32_t h = hash_value(&key, false);
    const bool filter = type_of(&key) != key_type && tagged(hdr(table));
    {
        // The first bucket's flag, tag and key lie in three arrays: ask for
        // all three at once, so a large map's misses overlap.
        const table_header* t = hdr(table);
        const uint32_t b = h & (t->n_buckets - 1);
        if (tagged(t)) __builtin_prefetch(tag_array(t) + b);
        __builtin_prefetch(key_array(t) + b);
    }
    int32_t found = -1;
    int64_t first_deleted = -1;
    const int64_t stop = probe(table, h, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_deleted) {
            if (first_deleted < 0) first_deleted = i;
            return false;
        }
        if (filter && tag_array(hdr(table))[i] != h) return false;
        const int32_t k = key_array(hdr(table))[i];
        const kel_value stored = *cell_at(hdr(table)->blk, k);
        if (map_key_matches(&stored, &key, op)) {
            found = k;
            return true;
        }
        return false;
    });
    if (found >= 0) return cell_at(hdr(table)->blk, found);
    slot->bucket = first_deleted >= 0 ? first_deleted : stop;
    slot->hash = h;
    return nullptr;
}

bool put_map_at(uint32_t table, int32_t position, const map_slot& slot) {
    table_header* t = hdr(table);
    if (slot.bucket < 0 || t->kind != kinds::map || t->occupied >= t->upper_bound) return false;
    const kel_value key = *cell_at(t->blk, position);
    if (hash_value(&key, false) != slot.hash) return false;
    t = hdr(table);
    const uint32_t b = static_cast<uint32_t>(slot.bucket);
    if (flag_at(flag_words(t), b) == bucket_empty) t->occupied++;
    t->count++;
    set_flag(flag_words(t), b, bucket_used);
    key_array(t)[b] = position;
    if (tagged(t)) tag_array(t)[b] = slot.hash;
    return true;
}

kel_value* find_next(uint32_t table, const kel_value* key_cell, int32_t* continuation) {
    if (hdr(table)->kind != kinds::map) return nullptr;
    const kel_value key = map_lookup_key(key_cell);
    const int32_t after = *continuation;
    bool passed = after < 0;
    int32_t found = -1;
    const uint32_t h = hash_value(&key, false);
    const bool filter = type_of(&key) != key_type && tagged(hdr(table));
    probe(table, h, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (!passed) {
            passed = static_cast<int32_t>(i) == after;
            return false;
        }
        if (state == bucket_deleted) return false;
        if (filter && tag_array(hdr(table))[i] != h) return false;
        const kel_value stored = *cell_at(hdr(table)->blk, key_array(hdr(table))[i]);
        if (map_key_matches(&stored, &key, cmp::equal)) {
            found = static_cast<int32_t>(i);
            return true;
        }
        return false;
    });
    *continuation = found;
    return found >= 0 ? cell_at(hdr(table)->blk, key_array(hdr(table))[found]) : nullptr;
}

// --- removing and moving -----------------------------------------------------------------------

void delete_(uint32_t table, int32_t position) {
    const uint32_t kind = hdr(table)->kind;
    if (kind == kinds::map) {
        if (position < 0 || position + 1 >= series_cells(hdr(table)->blk)) return;
        kel_value* value = cell_at(hdr(table)->blk, position + 1);
        if (value->header == 0) return;  // already a hole
        value->header = 0;
        hdr(table)->count--;
        return;
    }
    if (kind != kinds::hash) return;
    const int32_t b1 = index_of_position(table, position);
    if (b1 <= 0) return;
    const uint32_t b = static_cast<uint32_t>(b1 - 1);
    const int32_t k = key_array(hdr(table))[b];
    if (k < 0) {
        const uint32_t c = static_cast<uint32_t>(-k);
        if (chain_remove(chain_node(table, c), position) == 0) {
            chain_free(table, c);
            set_flag(flag_words(hdr(table)), b, bucket_deleted);
        }
    } else {
        set_flag(flag_words(hdr(table)), b, bucket_deleted);
    }
    set_index(table, position, -1);
    hdr(table)->count--;
}

void remove_entries(uint32_t table, int32_t position, int32_t n) {
    const int32_t len = series_cells(hdr(table)->blk);
    if (position < 0) position = 0;
    n = std::min(n, len - position);
    if (n <= 0) return;
    if (position == 0 && n == len) {
        reset_arrays(table);
        return;
    }
    const bool map = hdr(table)->kind == kinds::map;
    for (int32_t p = position; p < position + n; ++p)
        if (!map || (p & 1) == 0) delete_(table, p);
}

bool shift_indexes(uint32_t table, int32_t delta, int32_t position, int32_t count) {
    if (count > shift_limit) return true;
    if (count <= 0 || delta == 0) return false;
    if (position < 0) position = 0;
    const uint32_t kind = hdr(table)->kind;
    if (kind == kinds::map) {
        table_header* t = hdr(table);
        const uint32_t* f = flag_words(t);
        int32_t* keys = key_array(t);
        for (uint32_t i = 0; i < t->n_buckets; ++i)
            if (flag_at(f, i) == bucket_used && keys[i] >= position && keys[i] < position + count) keys[i] += delta;
        return false;
    }
    if (kind != kinds::hash) return false;
    const int32_t end = position + count;
    remap_positions(table, position, end, [=](int32_t p) { return p >= position && p < end ? p + delta : p; });
    return false;
}

void move_range(uint32_t table, int32_t destination, int32_t source, int32_t count) {
    if (hdr(table)->kind != kinds::hash || count <= 0 || source < 0 || destination < 0) return;
    const int32_t len = series_cells(hdr(table)->blk);
    if (destination >= len) destination = len - 1;
    const int32_t c = source, n = count, d = destination;
    if (d >= c && d < c + n) return;
    if (d < c) {
        // Towards the head: the run goes to d, the values [d, c) move up by n.
        remap_positions(table, d, c + n, [=](int32_t p) {
            if (p >= c && p < c + n) return p + (d - c);
            if (p >= d && p < c) return p + n;
            return p;
        });
    } else {
        // Towards the tail: the run ends just after the value that stood at d.
        remap_positions(table, c, d + 1, [=](int32_t p) {
            if (p >= c && p < c + n) return p + (d - c - n + 1);
            if (p >= c + n && p <= d) return p - n;
            return p;
        });
    }
}

// --- record tables ---------------------------------------------------------------------------------

namespace {

inline uint32_t record_size(const table_header* t) { return t->indexes; }
inline kel_value* record_at(const table_header* t, int32_t offset) {
    return reinterpret_cast<kel_value*>(buffer_of(t->blk)->head_ptr() + offset);
}

// The bucket holding a key node, or -1.
int64_t find_record_bucket(uint32_t table, uint32_t key_node) {
    int64_t found = -1;
    probe(table, fmix32(key_node), [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_used && record_at(hdr(table), key_array(hdr(table))[i])->w1 == key_node) {
            found = i;
            return true;
        }
        return false;
    });
    return found;
}

}  // namespace

kel_value* put_key(uint32_t table, uint32_t key_node) {
    ensure_room(table);
    int64_t first_deleted = -1;
    int64_t found = -1;
    const int64_t stop = probe(table, fmix32(key_node), [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_deleted) {
            if (first_deleted < 0) first_deleted = i;
            return false;
        }
        if (record_at(hdr(table), key_array(hdr(table))[i])->w1 == key_node) {
            found = i;
            return true;
        }
        return false;
    });
    if (found >= 0) return record_at(hdr(table), key_array(hdr(table))[found]) + 1;
    int32_t offset;
    const uint32_t size = record_size(hdr(table));
    uint32_t b;
    if (first_deleted >= 0) {
        b = static_cast<uint32_t>(first_deleted);
        offset = key_array(hdr(table))[b];
    } else {
        b = static_cast<uint32_t>(stop);
        const uint32_t blk = hdr(table)->blk;
        offset = static_cast<int32_t>(buffer_of(blk)->used());
        char* fresh = memory::claim_tail_bytes(blk, size);
        std::memset(fresh, 0, size);
        table_header* t = hdr(table);
        key_array(t)[b] = offset;
        t->occupied++;
    }
    table_header* t = hdr(table);
    set_flag(flag_words(t), b, bucket_used);
    t->count++;
    kel_value* rec = record_at(t, offset);
    for (uint32_t i = 0; i < size / 16; ++i) rec[i].header = types::unset;
    rec->w1 = key_node;
    return rec + 1;
}

kel_value* get_key(uint32_t table, uint32_t key_node) {
    const int64_t b = find_record_bucket(table, key_node);
    return b < 0 ? nullptr : record_at(hdr(table), key_array(hdr(table))[b]) + 1;
}

void delete_key(uint32_t table, uint32_t key_node) {
    const int64_t b = find_record_bucket(table, key_node);
    if (b < 0) return;
    table_header* t = hdr(table);
    kel_value* rec = record_at(t, key_array(t)[b]);
    rec->header = 0;
    rec->w1 = 0;
    set_flag(flag_words(t), static_cast<uint32_t>(b), bucket_deleted);
    t->count--;
}

// --- kind 2 ----------------------------------------------------------------------------------------

namespace {

bool names_equal_folded(const char* a, const char* b, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (fold_name_byte(static_cast<uint8_t>(a[i])) != fold_name_byte(static_cast<uint8_t>(b[i]))) return false;
    return true;
}

// The name of the symbol whose cell lies at `position` of the symbol table.
const char* stored_name(uint32_t blk, int32_t position, uint32_t* length) {
    const buffer_header* h = buffer_of(cell_at(blk, position)->w3);
    *length = h->used();
    return h->data() + h->head;
}

}  // namespace

uint32_t intern_symbol(uint32_t table, const char* name, uint32_t length, bool caseless) {
    ensure_room(table);
    const uint32_t h = murmur3_name(name, length);
    int64_t empty = -1;
    if (!caseless) {
        int32_t exact = -1;
        empty = probe(table, h, [&](uint32_t i, uint32_t state) {
            if (state == bucket_empty) return true;
            if (state != bucket_used) return false;
            const int32_t k = key_array(hdr(table))[i];
            uint32_t n;
            const char* s = stored_name(hdr(table)->blk, k, &n);
            if (n == length && std::memcmp(s, name, length) == 0) {
                exact = k;
                return true;
            }
            return false;
        });
        if (exact >= 0) return static_cast<uint32_t>(exact) + 1;
    }
    int32_t match = -1;
    const int64_t stop = probe(table, h, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state != bucket_used) return false;
        const int32_t k = key_array(hdr(table))[i];
        uint32_t n;
        const char* s = stored_name(hdr(table)->blk, k, &n);
        if (n == length && names_equal_folded(s, name, length)) {
            match = k;
            return true;
        }
        return false;
    });
    if (caseless) {
        if (match >= 0) return static_cast<uint32_t>(match) + 1;
        empty = stop;
    }
    if (empty < 0) too_large();  // cannot happen: the bound keeps buckets empty
    // A new symbol in the empty bucket that ended the exact search. Its alias
    // is the canonical id of the match, so every spelling resolves in one step
    // even when the first match met in probe order is itself a variant.
    int32_t alias = -1;
    if (match >= 0) {
        const int32_t its_alias = static_cast<int32_t>(cell_at(hdr(table)->blk, match)->w1);
        alias = its_alias > 0 ? its_alias : match + 1;
    }
    // The name: in a buffer of its own (the caller's bytes may lie in a series
    // buffer that the allocation moves, so they are copied first).
    uint32_t name_node;
    {
        char small[64];
        char* copy = length <= sizeof small ? small : static_cast<char*>(heap::allocate(length));
        std::memcpy(copy, name, length);
        name_node = memory::new_bytes(length + 1);
        buffer_header* nb = buffer_of(name_node);
        std::memcpy(nb->data(), copy, length);
        nb->data()[length] = 0;
        nb->tail = nb->head + length;
        if (copy != small) heap::free(copy);
    }
    parking p;
    p.node(name_node);
    const uint32_t blk = hdr(table)->blk;
    kel_value* cell = memory::claim_buffer_cell(blk);
    p.release();
    cell->header = types::symbol;
    cell->w1 = static_cast<uint32_t>(alias);
    cell->w2 = 0;
    cell->w3 = name_node;
    if (alias > 0) cell_at(blk, alias - 1)->header |= symbol_table::flag_has_variants;
    const int32_t position = series_cells(blk) - 1;
    table_header* t = hdr(table);
    set_flag(flag_words(t), static_cast<uint32_t>(empty), bucket_used);
    key_array(t)[empty] = position;
    t->count++;
    t->occupied++;
    return static_cast<uint32_t>(position) + 1;
}

int32_t context_word_index(uint32_t table, uint32_t symbol_id, bool resolve, uint32_t add_to_context, bool* added) {
    if (added) *added = false;
    if (add_to_context) ensure_room(table);
    const uint32_t canonical = symbol_table::resolve(symbol_id);
    int32_t found = -1;
    const int64_t stop = probe(table, fmix32(canonical), [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state != bucket_used) return false;
        const int32_t k = key_array(hdr(table))[i];
        const uint32_t s = word_symbol(cell_at(hdr(table)->blk, k));
        if (resolve ? symbol_table::resolve(s) == canonical : s == symbol_id) {
            found = k;
            return true;
        }
        return false;
    });
    if (found >= 0 || !add_to_context || stop < 0) return found;
    const uint32_t blk = hdr(table)->blk;
    const int32_t position = series_cells(blk);
    kel_value* w = memory::claim_buffer_cell(blk);
    w->header = types::word;
    w->w1 = add_to_context;
    w->w2 = symbol_id;
    w->w3 = static_cast<uint32_t>(position);
    table_header* t = hdr(table);
    set_flag(flag_words(t), static_cast<uint32_t>(stop), bucket_used);
    key_array(t)[stop] = position;
    t->count++;
    t->occupied++;
    if (added) *added = true;
    return position;
}

word_finder::word_finder(uint32_t table) {
    const table_header* t = hdr(table);
    flags_ = flag_words(t);
    keys_ = key_array(t);
    words_ = cell_at(t->blk, 0);
    symbols_ = symbol_table::raw_cell(1);
    buckets_ = t->n_buckets;
}

int32_t word_finder::find(uint32_t symbol) const {
    // The alias step of symbol_table::resolve, on the symbol table read once.
    const auto resolve = [this](uint32_t id) -> uint32_t {
        if (id == 0) return 0;
        const int32_t alias = static_cast<int32_t>(symbols_[id - 1].w1);
        return alias > 0 ? static_cast<uint32_t>(alias) : id;
    };
    const uint32_t canonical = resolve(symbol);
    // Without another spelling of the symbol, a stored word is the one
    // wanted exactly when its id is the canonical one: no stored word needs
    // resolving then.
    const bool by_alias = canonical != 0 && (symbols_[canonical - 1].header & symbol_table::flag_has_variants);
    const uint32_t mask = buckets_ - 1;
    uint32_t i = fmix32(canonical) & mask;
    for (uint32_t step = 0; step < buckets_; ++step) {
        const uint32_t state = flag_at(flags_, i);
        if (state == bucket_empty) return -1;
        if (state == bucket_used) {
            const int32_t k = keys_[i];
            const uint32_t s = word_symbol(words_ + k);
            if (by_alias ? resolve(s) == canonical : s == canonical) return k;
        }
        i = (i + step + 1) & mask;
    }
    return -1;
}

// --- collector support -----------------------------------------------------------------------------

void mark(uint32_t table, const marker& m) {
    if (!table || !m.node(table)) return;
    const table_header t = *hdr(table);
    if (t.flags) m.node(t.flags);
    if (t.keys) m.node(t.keys);
    if (t.kind == kinds::map && t.chains) m.node(t.chains);
    if (t.kind == kinds::hash && t.indexes && t.chains) {
        m.node(t.indexes);
        m.node(t.chains);
        const uint32_t n = store_length(t.chains);
        for (uint32_t c = 1; c < n; ++c) {
            const uint32_t chain = store_entries(t.chains)[c];
            if (chain >= memory::node_base) m.node(chain);
        }
    }
    if (!t.blk) return;
    if (t.kind >= kinds::records) m.node(t.blk);  // weak keys: the records' cells are marked after the drop
    else m.block(t.blk);
}

void drop_unmarked(uint32_t table, bool (*marked_q)(uint32_t node)) {
    if (!table || hdr(table)->kind < kinds::records) return;
    table_header* t = hdr(table);
    for (uint32_t i = 0; i < t->n_buckets; ++i) {
        if (flag_at(flag_words(t), i) != bucket_used) continue;
        kel_value* rec = record_at(t, key_array(t)[i]);
        bool drop = !marked_q(rec->w1);
        if (!drop && t->kind == kinds::owners && record_size(t) >= 48 && rec[2].w1 != 0) drop = !marked_q(rec[2].w1);
        if (!drop) continue;
        rec->header = 0;
        rec->w1 = 0;
        set_flag(flag_words(t), i, bucket_deleted);
        t->count--;
    }
}

void mark_records(uint32_t table, const marker& m) {
    if (!table || hdr(table)->kind < kinds::records) return;
    const uint32_t n = hdr(table)->n_buckets;
    for (uint32_t i = 0; i < n; ++i) {
        const table_header* t = hdr(table);
        if (flag_at(flag_words(t), i) != bucket_used) continue;
        kel_value* rec = record_at(t, key_array(t)[i]);
        m.cells(rec + 1, record_size(t) / 16 - 1);
    }
}

}  // namespace kel::hashtable

// --- the heap integer map ------------------------------------------------------------------------------

namespace kel::int_map {

namespace {

using hashtable::bucket_deleted;
using hashtable::bucket_empty;
using hashtable::bucket_used;
using hashtable::fmix32;

inline uint32_t flag_at(const uint32_t* f, uint32_t i) { return (f[i >> 4] >> ((i & 15u) * 2)) & 3u; }
inline void set_flag(uint32_t* f, uint32_t i, uint32_t state) {
    const uint32_t s = (i & 15u) * 2;
    f[i >> 4] = (f[i >> 4] & ~(3u << s)) | (state << s);
}

uint32_t flag_word_count(uint32_t n) { return (n + 15) / 16; }

void fresh(table* t, uint32_t n, uint32_t bound) {
    t->flags = heap::allocate_array<uint32_t>(flag_word_count(n));
    std::memset(t->flags, 0xAA, flag_word_count(n) * 4u);
    t->pairs = heap::allocate_array<int32_t>(static_cast<size_t>(n) * 2);
    t->n_buckets = n;
    t->upper_bound = bound;
    t->count = 0;
    t->occupied = 0;
}

template <class Visit>
int64_t probe(const table* t, int32_t key, Visit visit) {
    const uint32_t mask = t->n_buckets - 1;
    uint32_t i = fmix32(static_cast<uint32_t>(key)) & mask;
    for (uint32_t step = 0; step < t->n_buckets; ++step) {
        if (visit(i, flag_at(t->flags, i))) return i;
        i = (i + step + 1) & mask;
    }
    return -1;
}

void grow(table* t) {
    const uint64_t want = t->n_buckets > 2 * t->count ? uint64_t{t->n_buckets} - 1 : uint64_t{t->n_buckets} + 1;
    uint64_t n = 4;
    while (n < want) n <<= 1;
    if (n > (uint64_t{1} << 28)) fire(error_category::internal, "no-memory");
    uint32_t* old_flags = t->flags;
    int32_t* old_pairs = t->pairs;
    const uint32_t old_n = t->n_buckets;
    fresh(t, static_cast<uint32_t>(n), static_cast<uint32_t>(static_cast<double>(n) * 0.77 + 0.5));
    for (uint32_t i = 0; i < old_n; ++i)
        if (flag_at(old_flags, i) == bucket_used) put(t, old_pairs[2 * i], old_pairs[2 * i + 1]);
    heap::free(old_flags);
    heap::free(old_pairs);
}

}  // namespace

table* make(int32_t size) {
    auto* t = heap::allocate_array<table>(1);
    int64_t s = size < 4 ? 4 : size;
    uint64_t n = 1;
    while (n < static_cast<uint64_t>(static_cast<double>(s) / 0.77)) n <<= 1;
    if (n > (uint64_t{1} << 28)) fire(error_category::internal, "no-memory");
    fresh(t, static_cast<uint32_t>(n), static_cast<uint32_t>(static_cast<double>(n) * 0.77));
    return t;
}

void put(table* t, int32_t key, int32_t value) {
    if (int32_t* v = get(t, key)) {
        *v = value;
        return;
    }
    if (t->occupied >= t->upper_bound) grow(t);
    int64_t first_deleted = -1;
    const int64_t stop = probe(t, key, [&](uint32_t i, uint32_t state) {
        if (state == bucket_deleted && first_deleted < 0) first_deleted = i;
        return state == bucket_empty;
    });
    const uint32_t b = static_cast<uint32_t>(first_deleted >= 0 ? first_deleted : stop);
    if (flag_at(t->flags, b) == bucket_empty) t->occupied++;
    set_flag(t->flags, b, bucket_used);
    t->pairs[2 * b] = key;
    t->pairs[2 * b + 1] = value;
    t->count++;
}

int32_t find(const table* t, int32_t key) {
    int32_t found = -1;
    probe(t, key, [&](uint32_t i, uint32_t state) {
        if (state == bucket_empty) return true;
        if (state == bucket_used && t->pairs[2 * i] == key) {
            found = static_cast<int32_t>(i);
            return true;
        }
        return false;
    });
    return found;
}

int32_t* get(table* t, int32_t key) {
    const int32_t b = find(t, key);
    return b < 0 ? nullptr : &t->pairs[2 * b + 1];
}

void delete_(table* t, int32_t key) {
    const int32_t b = find(t, key);
    if (b < 0) return;
    set_flag(t->flags, static_cast<uint32_t>(b), bucket_deleted);
    t->count--;
}

void clear(table* t) {
    std::memset(t->flags, 0xAA, flag_word_count(t->n_buckets) * 4u);
    t->count = 0;
    t->occupied = 0;
}

void free(table* t) {
    if (!t) return;
    heap::free(t->flags);
    heap::free(t->pairs);
    heap::free(t);
}

const int32_t* next(const table* t, const int32_t* after) {
    uint32_t i = after ? static_cast<uint32_t>((after - t->pairs) / 2) + 1 : 0;
    for (; i < t->n_buckets; ++i)
        if (flag_at(t->flags, i) == bucket_used) return &t->pairs[2 * i];
    return nullptr;
}

}  // namespace kel::int_map
