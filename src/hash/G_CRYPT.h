#pragma once
// The hash set of a run: one provider per algorithm of its list and one hash
// context per input and algorithm, all tables, objects and digests in one
// allocation that is zeroed before it is freed.
//
// Contexts: input i (0: first input, 1: second) and list position k have
// context i * alg_count + k; a single algorithm is a list of one, so its
// contexts are 0 and 1. hash_data on different contexts may run on different
// threads at the same time; one context is fed by one thread at a time.
// txt_hashes[c] holds context c's digest after finish_all, digest_length(c)
// bytes long.
#include <cstddef>

#include "os/hash.h"

// Provider names, indexed by alg_id: 0..6 as the hash switches number them,
// 7 XXH3-128.
inline constexpr u32 G_CRYPT_ALG_COUNT = 8;
extern const char* const G_CRYPT_ALG_ID[G_CRYPT_ALG_COUNT];

// alg_id of a provider name (any case; `length` characters of `name`), or
// G_CRYPT_ALG_COUNT when it names none.
u32 G_CRYPT_find_alg(const char* name, size_t length);

class G_CRYPT {
public:
    static constexpr size_t input_count = 2;

    u32 alg_count = 0;
    u32 alg_ids[G_CRYPT_ALG_COUNT] = {};
    os::hash_provider h_provs[G_CRYPT_ALG_COUNT] = {};
    u32 obj_lengths[G_CRYPT_ALG_COUNT] = {};
    u32 txt_lengths[G_CRYPT_ALG_COUNT] = {};

    size_t all_length = 0;
    size_t ptr_length = 0;
    size_t txt_all_length = 0;
    // The first algorithm's entries, the only ones for a single algorithm.
    u32& obj_length = obj_lengths[0];
    os::hash_object* ctx = nullptr;
    os::hash_provider& h_prov = h_provs[0];
    u32 flags = 0;
    bool is_ready = false;
    u32& alg_id = alg_ids[0];
    u8** txt_hashes = nullptr;
    u32& txt_length = txt_lengths[0];
    size_t ctx_count = 0;

    G_CRYPT() = default;
    ~G_CRYPT() { release(); }
    G_CRYPT(const G_CRYPT&) = delete;
    G_CRYPT& operator=(const G_CRYPT&) = delete;

    u32 init(u32 alg_id);
    // `count` algorithms (1 to G_CRYPT_ALG_COUNT), in this order.
    u32 init_list(const u32* ids, u32 count);
    u32 hash_data(u64 index, const void* data, u64 length);
    u32 digest_length(u64 index) const { return alg_count == 0 ? 0 : txt_lengths[index % alg_count]; }
    // Finishes every context; prints the first failure. 0 when all finished.
    u32 finish_all();
    void release();
};
