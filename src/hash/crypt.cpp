// The hash set: one provider per algorithm, one hash object per input and
// algorithm, and every table, object and digest in a single zero-filled
// allocation.
#include "hash/G_CRYPT.h"

#include <cstdio>
#include <cstdlib>

#include "app/report.h"
#include "os/memory.h"

const char* const G_CRYPT_ALG_ID[G_CRYPT_ALG_COUNT] = {"MD2",    "MD4",    "MD5",    "SHA1",
                                                       "SHA256", "SHA384", "SHA512", "XXH128"};

u32 G_CRYPT_find_alg(const char* name, size_t length) {
    for (u32 id = 0; id < G_CRYPT_ALG_COUNT; ++id) {
        const char* known = G_CRYPT_ALG_ID[id];
        size_t i = 0;
        for (; i < length && known[i] != '\0'; ++i) {
            char c = name[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c != known[i]) break;
        }
        if (i == length && known[i] == '\0') return id;
    }
    return G_CRYPT_ALG_COUNT;
}

namespace {

constexpr size_t handle_size = 8;  // one table entry: a pointer or a handle
constexpr u32 digest_length_fallback = 256;

}  // namespace

u32 G_CRYPT::init(u32 new_alg_id) { return init_list(&new_alg_id, 1); }

u32 G_CRYPT::init_list(const u32* ids, u32 count) {
    release();
    if (ids == nullptr || count == 0 || count > G_CRYPT_ALG_COUNT) return os::status_invalid_parameter;
    flags = os::hash_reusable_flag;
    alg_count = count;
    for (u32 k = 0; k < count; ++k) alg_ids[k] = ids[k];
    ctx_count = input_count * count;

    size_t obj_per_input = 0;
    size_t txt_per_input = 0;
    for (u32 k = 0; k < count; ++k) {
        // An index off the table names no algorithm: the open fails as for
        // one the system does not know.
        const char* name = ids[k] < G_CRYPT_ALG_COUNT ? G_CRYPT_ALG_ID[ids[k]] : "";
        u32 status = os::hash_open_provider(h_provs[k], name, flags);
        if (status != 0 && (flags & os::hash_reusable_flag) != 0) {
            // Systems without reusable hash objects refuse the flag.
            flags &= ~os::hash_reusable_flag;
            status = os::hash_open_provider(h_provs[k], name, flags);
        }
        if (status != 0) {
            h_provs[k] = nullptr;
            print_error(stdout, "BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], NULL, flags)",
                        status);
            release();
            return status;
        }

        status = os::hash_get_property(h_provs[k], "ObjectLength", obj_lengths[k]);
        if (status != 0) {
            print_error(stdout,
                        "BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (uint8_t *)&obj_length_all, "
                        "obj_length_size, &obj_length_size, 0)",
                        status);
            release();
            return status;
        }

        status = os::hash_get_property(h_provs[k], "HashDigestLength", txt_lengths[k]);
        if (status != 0) {
            print_error(stdout,
                        "BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (uint8_t *)&txt_length, "
                        "txt_length_size, &txt_length_size, 0)",
                        status);
            txt_lengths[k] = digest_length_fallback;
        }
        obj_per_input += obj_lengths[k];
        txt_per_input += txt_lengths[k];
    }

    ptr_length = ctx_count * handle_size;
    txt_all_length = input_count * txt_per_input;
    all_length = txt_all_length + 2 * ptr_length + input_count * obj_per_input;

    auto* block = static_cast<u8*>(std::malloc(all_length));
    if (block == nullptr) {
        u32 error = os::last_error();
        if (error == 0) error = os::err::not_enough_memory;
        print_error(stdout, "G_CRYPT::init(){ txt_hashes = malloc(all_length); }", error);
        release();
        return error;
    }
    os::secure_zero(block, all_length);
    txt_hashes = reinterpret_cast<u8**>(block);
    ctx = reinterpret_cast<os::hash_object*>(block + ptr_length);

    // Objects, then digests, each in context order.
    u8* next_object = block + 2 * ptr_length;
    for (size_t i = 0; i < ctx_count; ++i) {
        const u32 k = static_cast<u32>(i % count);
        const u32 status = os::hash_create(h_provs[k], ctx[i], next_object, obj_lengths[k], flags);
        if (status != 0) {
            print_error(stdout,
                        "BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, flags)",
                        status);
            ctx[i] = nullptr;
            release();
            return status;
        }
        next_object += obj_lengths[k];
    }
    u8* next_digest = next_object;
    for (size_t i = 0; i < ctx_count; ++i) {
        txt_hashes[i] = next_digest;
        next_digest += txt_lengths[i % count];
    }

    is_ready = true;
    return 0;
}

namespace {
void touch(const u8* p, u64 n) {
    for (u64 i = 0; i < n; i += 64) (void)*reinterpret_cast<const volatile u8*>(p + i);
}
}  // namespace

u32 G_CRYPT::hash_data(u64 index, const void* data, u64 length) {
    if (!is_ready || index >= ctx_count) return os::status_invalid_parameter;
    // A slot has just come from the device and is not in any cache: each
    // piece is touched (one load per cache line, all independent) before it
    // is hashed, so the memory is read at full bandwidth rather than at the
    // pace of the hash's own loads. No byte is copied.
    constexpr u64 piece = 65536;
    const u8* p = static_cast<const u8*>(data);
    for (u64 done = 0; done < length; done += piece) {
        const u64 n = length - done < piece ? length - done : piece;
        touch(p + done, n);
        const u32 status = os::hash_data(ctx[index], p + done, static_cast<u32>(n));
        if (status != 0) {
            print_error(stdout, "BCryptHashData(ctx[index], data, (ULONG)length, 0)", status);
            return status;
        }
    }
    return 0;
}

u32 G_CRYPT::finish_all() {
    if (!is_ready) return os::status_invalid_parameter;
    u32 first = 0;
    for (size_t i = 0; i < ctx_count; ++i) {
        const u32 status = os::hash_finish(ctx[i], txt_hashes[i], digest_length(i));
        if (status != 0 && first == 0) {
            print_error(stdout, "BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)", status);
            first = status;
        }
    }
    return first;
}

void G_CRYPT::release() {
    is_ready = false;
    if (ctx != nullptr) {
        for (size_t i = 0; i < ctx_count; ++i)
            if (ctx[i] != nullptr) os::hash_destroy(ctx[i]);
    }
    if (txt_hashes != nullptr) {
        os::secure_zero(txt_hashes, all_length);
        std::free(txt_hashes);
    }
    for (os::hash_provider& p : h_provs) {
        if (p != nullptr) os::hash_close_provider(p);
        p = nullptr;
    }

    alg_count = 0;
    for (u32 k = 0; k < G_CRYPT_ALG_COUNT; ++k) alg_ids[k] = obj_lengths[k] = txt_lengths[k] = 0;
    all_length = 0;
    ptr_length = 0;
    txt_all_length = 0;
    ctx = nullptr;
    flags = 0;
    is_ready = false;
    txt_hashes = nullptr;
    ctx_count = 0;
}
