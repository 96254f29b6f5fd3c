#pragma once
// The hash set of a run: one provider for the chosen algorithm and one hash
// context per input (0: first input, 1: second), all tables, objects and
// digests in one allocation that is zeroed before it is freed.
#include <cstddef>

#include "os/hash.h"

// Provider names, indexed by alg_id.
extern const char* const G_CRYPT_ALG_ID[7];

class G_CRYPT {
public:
    size_t all_length = 0;
    size_t ptr_length = 0;
    size_t txt_all_length = 0;
    u32 obj_length = 0;
    os::hash_object* ctx = nullptr;
    os::hash_provider h_prov = nullptr;
    u32 flags = 0;
    bool is_ready = false;
    u32 alg_id = 0;
    u8** txt_hashes = nullptr;
    u32 txt_length = 0;
    size_t ctx_count = 0;
    u32 alg_count = 1;  // algorithms per input; context of input i, algorithm k: i * alg_count + k

    G_CRYPT() = default;
    ~G_CRYPT() { release(); }
    G_CRYPT(const G_CRYPT&) = delete;
    G_CRYPT& operator=(const G_CRYPT&) = delete;

    u32 init(u32 alg_id);
    u32 hash_data(u64 index, const void* data, u64 length);
    // Finishes every context; prints the first failure. 0 when all finished.
    u32 finish_all();
    void release();
};
