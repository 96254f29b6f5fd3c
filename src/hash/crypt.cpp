// The hash set: one provider, one hash object per input, and every table,
// object and digest in a single zero-filled allocation.
#include "hash/G_CRYPT.h"

#include <cstdio>
#include <cstdlib>

#include "app/report.h"
#include "os/memory.h"

const char* const G_CRYPT_ALG_ID[7] = {"MD2", "MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512"};

namespace {

constexpr size_t known_algorithms = sizeof(G_CRYPT_ALG_ID) / sizeof(G_CRYPT_ALG_ID[0]);
constexpr size_t handle_size = 8;  // one table entry: a pointer or a handle
constexpr u32 digest_length_fallback = 256;

}  // namespace

u32 G_CRYPT::init(u32 new_alg_id) {
    release();
    flags = os::hash_reusable_flag;
    alg_id = new_alg_id;
    ctx_count = 2;

    // An index off the table names no algorithm: the open fails as for one
    // the system does not know.
    const char* name = new_alg_id < known_algorithms ? G_CRYPT_ALG_ID[new_alg_id] : "";
    u32 status = os::hash_open_provider(h_prov, name, flags);
    if (status != 0) {
        // Systems without reusable hash objects refuse the flag.
        flags &= ~os::hash_reusable_flag;
        status = os::hash_open_provider(h_prov, name, flags);
    }
    if (status != 0) {
        h_prov = nullptr;
        print_error(stdout, "BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], NULL, flags)",
                    status);
        return status;
    }

    obj_length = 0;
    status = os::hash_get_property(h_prov, "ObjectLength", obj_length);
    if (status != 0) {
        print_error(stdout,
                    "BCryptGetProperty(h_prov, BCRYPT_OBJECT_LENGTH, (uint8_t *)&obj_length_all, "
                    "obj_length_size, &obj_length_size, 0)",
                    status);
        return status;
    }

    status = os::hash_get_property(h_prov, "HashDigestLength", txt_length);
    if (status != 0) {
        print_error(stdout,
                    "BCryptGetProperty(h_prov, BCRYPT_HASH_LENGTH, (uint8_t *)&txt_length, "
                    "txt_length_size, &txt_length_size, 0)",
                    status);
        txt_length = digest_length_fallback;
    }

    ptr_length = ctx_count * handle_size;
    txt_all_length = ctx_count * txt_length;
    all_length = txt_all_length + 2 * ptr_length + ctx_count * obj_length;

    auto* block = static_cast<u8*>(std::malloc(all_length));
    if (block == nullptr) {
        u32 error = os::last_error();
        if (error == 0) error = os::err::not_enough_memory;
        print_error(stdout, "G_CRYPT::init(){ txt_hashes = malloc(all_length); }", error);
        return error;
    }
    os::secure_zero(block, all_length);
    txt_hashes = reinterpret_cast<u8**>(block);
    ctx = reinterpret_cast<os::hash_object*>(block + ptr_length);
    u8* objects = block + 2 * ptr_length;

    for (size_t i = 0; i < ctx_count; ++i) {
        status = os::hash_create(h_prov, ctx[i], objects + i * obj_length, obj_length, flags);
        if (status != 0) {
            print_error(stdout,
                        "BCryptCreateHash(h_prov, &ctx[i], &obj[i * obj_length], obj_length, NULL, 0, flags)",
                        status);
            ctx[i] = nullptr;
            for (size_t j = i; j-- > 0;) {
                os::hash_destroy(ctx[j]);
                ctx[j] = nullptr;
            }
            release();
            return status;
        }
    }

    u8* digests = objects + ctx_count * obj_length;
    for (size_t i = 0; i < ctx_count; ++i) txt_hashes[i] = digests + i * txt_length;

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
        const u32 status = os::hash_finish(ctx[i], txt_hashes[i], txt_length);
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
    if (h_prov != nullptr) os::hash_close_provider(h_prov);

    all_length = 0;
    ptr_length = 0;
    txt_all_length = 0;
    obj_length = 0;
    ctx = nullptr;
    h_prov = nullptr;
    flags = 0;
    is_ready = false;
    alg_id = 0;
    txt_hashes = nullptr;
    txt_length = 0;
    ctx_count = 0;
}
