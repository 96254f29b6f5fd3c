// Hash provider over libcrypto (MD5, SHA-1, SHA-2), nettle (MD2, MD4, which
// the default libcrypto provider lacks) and libxxhash (XXH3-128). The hash
// object lives in the caller's memory: the libcrypto or xxHash state pointer,
// or the whole nettle context.
#include "os/hash.h"

#include <cstdint>
#include <cstring>
#include <new>

#include <nettle/md2.h>
#include <nettle/md4.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <xxhash.h>

namespace os {

namespace {

constexpr u32 status_invalid_handle = 0xC0000008u;
constexpr u32 status_unsuccessful = 0xC0000001u;

constexpr char object_length_property[] = "ObjectLength";
constexpr char digest_length_property[] = "HashDigestLength";

enum class engine : u32 { evp, md2, md4, xxh128 };

struct algorithm {
    const char* name;
    engine kind;
    u32 digest_length;
};

constexpr algorithm algorithms[] = {
    {"MD2", engine::md2, 16},     {"MD4", engine::md4, 16},
    {"MD5", engine::evp, 16},     {"SHA1", engine::evp, 20},
    {"SHA256", engine::evp, 32},  {"SHA384", engine::evp, 48},
    {"SHA512", engine::evp, 64},  {"XXH128", engine::xxh128, 16},
};

struct provider {
    engine kind;
    u32 digest_length;
    EVP_MD* md;  // fetched once, shared read-only by every object
};

// One hash object, placed in the caller's memory.
struct hash_state {
    const provider* prov;
    EVP_MD_CTX* evp;
    XXH3_state_t* xxh;  // 64-byte aligned by the library, so held apart
    union {
        md2_ctx md2;
        md4_ctx md4;
    } n;
};
static_assert(alignof(hash_state) <= 8, "objects need 8-byte alignment only");

constexpr u32 object_length = sizeof(hash_state);

hash_state* state_of(hash_object h) {
    auto* st = static_cast<hash_state*>(h);
    return (st != nullptr && st->prov != nullptr) ? st : nullptr;
}

}  // namespace

u32 hash_open_provider(hash_provider& prov, const char* name, u32 flags) {
    prov = nullptr;
    if (name == nullptr || (flags & ~hash_reusable_flag) != 0) return status_invalid_parameter;
    const algorithm* alg = nullptr;
    for (const algorithm& a : algorithms) {
        if (std::strcmp(a.name, name) == 0) {
            alg = &a;
            break;
        }
    }
    if (alg == nullptr) return status_not_found;

    EVP_MD* md = nullptr;
    if (alg->kind == engine::evp) {
        md = EVP_MD_fetch(nullptr, alg->name, nullptr);
        if (md == nullptr) return status_not_found;
        if (static_cast<u32>(EVP_MD_get_size(md)) != alg->digest_length) {
            EVP_MD_free(md);
            return status_not_found;
        }
    }
    auto* p = new (std::nothrow) provider{alg->kind, alg->digest_length, md};
    if (p == nullptr) {
        EVP_MD_free(md);
        return status_no_memory;
    }
    prov = p;
    return 0;
}

u32 hash_get_property(hash_provider prov, const char* property, u32& value) {
    const auto* p = static_cast<const provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    if (property == nullptr) return status_invalid_parameter;
    if (std::strcmp(property, object_length_property) == 0) {
        value = object_length;
        return 0;
    }
    if (std::strcmp(property, digest_length_property) == 0) {
        value = p->digest_length;
        return 0;
    }
    return status_not_found;
}

u32 hash_create(hash_provider prov, hash_object& h, void* object, u32 length, u32 flags) {
    h = nullptr;
    const auto* p = static_cast<const provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    if (object == nullptr || (flags & ~hash_reusable_flag) != 0 ||
        reinterpret_cast<std::uintptr_t>(object) % alignof(hash_state) != 0)
        return status_invalid_parameter;
    if (length < object_length) return status_buffer_too_small;

    auto* st = new (object) hash_state{};
    switch (p->kind) {
    case engine::evp:
        st->evp = EVP_MD_CTX_new();
        if (st->evp == nullptr) return status_no_memory;
        if (EVP_DigestInit_ex(st->evp, p->md, nullptr) != 1) {
            EVP_MD_CTX_free(st->evp);
            st->evp = nullptr;
            return status_unsuccessful;
        }
        break;
    case engine::md2: md2_init(&st->n.md2); break;
    case engine::md4: md4_init(&st->n.md4); break;
    case engine::xxh128:
        st->xxh = XXH3_createState();
        if (st->xxh == nullptr) return status_no_memory;
        XXH3_128bits_reset(st->xxh);
        break;
    }
    st->prov = p;
    h = st;
    return 0;
}

u32 hash_data(hash_object h, const void* data, u32 length) {
    hash_state* st = state_of(h);
    if (st == nullptr) return status_invalid_handle;
    if (length == 0) return 0;
    if (data == nullptr) return status_invalid_parameter;
    const auto* bytes = static_cast<const u8*>(data);
    switch (st->prov->kind) {
    case engine::evp:
        return EVP_DigestUpdate(st->evp, bytes, length) == 1 ? 0 : status_unsuccessful;
    case engine::md2: md2_update(&st->n.md2, length, bytes); return 0;
    case engine::md4: md4_update(&st->n.md4, length, bytes); return 0;
    case engine::xxh128:
        return XXH3_128bits_update(st->xxh, bytes, length) == XXH_OK ? 0 : status_unsuccessful;
    }
    return status_invalid_handle;
}

u32 hash_finish(hash_object h, void* out, u32 length) {
    hash_state* st = state_of(h);
    if (st == nullptr) return status_invalid_handle;
    const provider* p = st->prov;
    if (out == nullptr || length != p->digest_length) return status_invalid_parameter;
    auto* digest = static_cast<u8*>(out);
    switch (p->kind) {
    case engine::evp: {
        unsigned int written = 0;
        if (EVP_DigestFinal_ex(st->evp, digest, &written) != 1 || written != length)
            return status_unsuccessful;
        // Ready for the next message.
        return EVP_DigestInit_ex(st->evp, p->md, nullptr) == 1 ? 0 : status_unsuccessful;
    }
    // nettle starts the context afresh after the digest.
    case engine::md2: md2_digest(&st->n.md2, length, digest); return 0;
    case engine::md4: md4_digest(&st->n.md4, length, digest); return 0;
    case engine::xxh128: {
        // The canonical form is big-endian, as xxh128sum prints it.
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(st->xxh));
        std::memcpy(digest, canonical.digest, sizeof canonical.digest);
        return XXH3_128bits_reset(st->xxh) == XXH_OK ? 0 : status_unsuccessful;
    }
    }
    return status_invalid_handle;
}

u32 hash_destroy(hash_object h) {
    hash_state* st = state_of(h);
    if (st == nullptr) return status_invalid_handle;
    EVP_MD_CTX_free(st->evp);
    XXH3_freeState(st->xxh);
    OPENSSL_cleanse(st, sizeof(*st));
    return 0;
}

u32 hash_close_provider(hash_provider prov) {
    auto* p = static_cast<provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    EVP_MD_free(p->md);
    delete p;
    return 0;
}

}  // namespace os
