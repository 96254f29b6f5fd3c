// The hash provider on CNG (bcrypt).
#include "os/hash.h"

#include "os/win32/win32.h"

#include <bcrypt.h>  // after windows.h, which it needs

namespace os {
namespace {

u32 status(NTSTATUS s) { return static_cast<u32>(s); }

}  // namespace

u32 hash_open_provider(hash_provider& prov, const char* algorithm, u32 flags) {
    BCRYPT_ALG_HANDLE h = nullptr;
    std::wstring name = win32::widen(algorithm);
    NTSTATUS s = BCryptOpenAlgorithmProvider(&h, name.c_str(), nullptr, flags);
    prov = s == 0 ? h : nullptr;
    return status(s);
}

u32 hash_get_property(hash_provider prov, const char* property, u32& value) {
    std::wstring name = win32::widen(property);
    ULONG got = 0;
    ULONG v = 0;
    NTSTATUS s = BCryptGetProperty(prov, name.c_str(), reinterpret_cast<PUCHAR>(&v), sizeof(v),
                                   &got, 0);
    if (s == 0) value = v;
    return status(s);
}

u32 hash_create(hash_provider prov, hash_object& h, void* object, u32 object_length, u32 flags) {
    BCRYPT_HASH_HANDLE created = nullptr;
    NTSTATUS s = BCryptCreateHash(prov, &created, static_cast<PUCHAR>(object), object_length,
                                  nullptr, 0, flags);
    h = s == 0 ? created : nullptr;
    return status(s);
}

u32 hash_data(hash_object h, const void* data, u32 length) {
    // The input is only read; the interface is not const-correct.
    auto* p = static_cast<PUCHAR>(const_cast<void*>(data));
    return status(BCryptHashData(h, p, length, 0));
}

u32 hash_finish(hash_object h, void* out, u32 length) {
    return status(BCryptFinishHash(h, static_cast<PUCHAR>(out), length, 0));
}

u32 hash_destroy(hash_object h) { return status(BCryptDestroyHash(h)); }

u32 hash_close_provider(hash_provider prov) {
    return status(BCryptCloseAlgorithmProvider(prov, 0));
}

}  // namespace os
