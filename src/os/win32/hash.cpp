// The hash provider on CNG (bcrypt), and XXH3-128, which CNG lacks, from the
// xxHash header compiled in. Each object starts with a small record naming
// its engine; a CNG object's own memory follows it.
#include "os/hash.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "os/win32/win32.h"

#include <bcrypt.h>  // after windows.h, which it needs

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace os {
namespace {

u32 status(NTSTATUS s) { return static_cast<u32>(s); }

constexpr u32 status_invalid_handle = 0xC0000008u;
constexpr u32 status_unsuccessful = 0xC0000001u;
constexpr u32 xxh128_digest_length = 16;

// cng == nullptr: XXH3-128.
struct provider {
    BCRYPT_ALG_HANDLE cng;
};

struct hash_state {
    BCRYPT_HASH_HANDLE cng;
    XXH3_state_t* xxh;  // 64-byte aligned by the library, so held apart
};

// The record, rounded so that CNG's memory after it stays 16-byte aligned.
constexpr u32 header_length = (sizeof(hash_state) + 15) & ~u32{15};

u32 round_up_8(u32 n) { return (n + 7) & ~u32{7}; }

}  // namespace

u32 hash_open_provider(hash_provider& prov, const char* algorithm, u32 flags) {
    prov = nullptr;
    if (algorithm == nullptr || (flags & ~hash_reusable_flag) != 0) return status_invalid_parameter;
    BCRYPT_ALG_HANDLE h = nullptr;
    if (std::strcmp(algorithm, "XXH128") != 0) {
        std::wstring name = win32::widen(algorithm);
        NTSTATUS s = BCryptOpenAlgorithmProvider(&h, name.c_str(), nullptr, flags);
        if (s != 0) return status(s);
    }
    auto* p = new (std::nothrow) provider{h};
    if (p == nullptr) {
        if (h != nullptr) BCryptCloseAlgorithmProvider(h, 0);
        return status_no_memory;
    }
    prov = p;
    return 0;
}

u32 hash_get_property(hash_provider prov, const char* property, u32& value) {
    const auto* p = static_cast<const provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    if (property == nullptr) return status_invalid_parameter;
    const bool object_length = std::strcmp(property, "ObjectLength") == 0;
    if (p->cng == nullptr) {
        if (object_length) value = header_length;
        else if (std::strcmp(property, "HashDigestLength") == 0) value = xxh128_digest_length;
        else return status_not_found;
        return 0;
    }
    std::wstring name = win32::widen(property);
    ULONG got = 0;
    ULONG v = 0;
    NTSTATUS s = BCryptGetProperty(p->cng, name.c_str(), reinterpret_cast<PUCHAR>(&v), sizeof(v), &got, 0);
    if (s != 0) return status(s);
    value = object_length ? header_length + round_up_8(v) : v;
    return 0;
}

u32 hash_create(hash_provider prov, hash_object& h, void* object, u32 object_length, u32 flags) {
    h = nullptr;
    const auto* p = static_cast<const provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    if (object == nullptr || (flags & ~hash_reusable_flag) != 0 || reinterpret_cast<std::uintptr_t>(object) % 8 != 0)
        return status_invalid_parameter;
    if (object_length < header_length) return status_buffer_too_small;

    auto* st = new (object) hash_state{};
    if (p->cng == nullptr) {
        st->xxh = XXH3_createState();
        if (st->xxh == nullptr) return status_no_memory;
        XXH3_128bits_reset(st->xxh);
    } else {
        BCRYPT_HASH_HANDLE created = nullptr;
        NTSTATUS s = BCryptCreateHash(p->cng, &created, static_cast<PUCHAR>(object) + header_length,
                                      object_length - header_length, nullptr, 0, flags);
        if (s != 0) return status(s);
        st->cng = created;
    }
    h = st;
    return 0;
}

u32 hash_data(hash_object h, const void* data, u32 length) {
    auto* st = static_cast<hash_state*>(h);
    if (st == nullptr) return status_invalid_handle;
    if (st->xxh != nullptr)
        return XXH3_128bits_update(st->xxh, data, length) == XXH_OK ? 0 : status_unsuccessful;
    // The input is only read; the interface is not const-correct.
    auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
    return status(BCryptHashData(st->cng, p, length, 0));
}

u32 hash_finish(hash_object h, void* out, u32 length) {
    auto* st = static_cast<hash_state*>(h);
    if (st == nullptr) return status_invalid_handle;
    if (st->xxh != nullptr) {
        if (out == nullptr || length != xxh128_digest_length) return status_invalid_parameter;
        // The canonical form is big-endian, as xxh128sum prints it.
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(st->xxh));
        std::memcpy(out, canonical.digest, sizeof canonical.digest);
        return XXH3_128bits_reset(st->xxh) == XXH_OK ? 0 : status_unsuccessful;
    }
    return status(BCryptFinishHash(st->cng, static_cast<PUCHAR>(out), length, 0));
}

u32 hash_destroy(hash_object h) {
    auto* st = static_cast<hash_state*>(h);
    if (st == nullptr) return status_invalid_handle;
    u32 result = 0;
    if (st->xxh != nullptr) XXH3_freeState(st->xxh);
    else result = status(BCryptDestroyHash(st->cng));
    SecureZeroMemory(st, sizeof *st);
    return result;
}

u32 hash_close_provider(hash_provider prov) {
    auto* p = static_cast<provider*>(prov);
    if (p == nullptr) return status_invalid_handle;
    const u32 result = p->cng != nullptr ? status(BCryptCloseAlgorithmProvider(p->cng, 0)) : 0;
    delete p;
    return result;
}

}  // namespace os
