#pragma once
// The hash provider, with the contract of the system's CNG primitives: open
// by algorithm name, two 32-bit properties, hash objects placed in memory
// the caller owns, feed, finish into exactly the digest length, destroy,
// close. Results are 0 or an NTSTATUS-style failure status.
//
// Threads: a provider is only read once open, so objects of one provider
// may be fed from different threads at the same time; each object is used
// by one thread at a time.
#include "os/types.h"

namespace os {

using hash_provider = void*;
using hash_object = void*;

inline constexpr u32 hash_reusable_flag = 0x20;
inline constexpr u32 status_not_found = 0xC0000225u;
inline constexpr u32 status_invalid_parameter = 0xC000000Du;
inline constexpr u32 status_buffer_too_small = 0xC0000023u;
inline constexpr u32 status_no_memory = 0xC0000017u;

// Names: "MD2", "MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512", "XXH128"
// (XXH3 128-bit; its digest is the canonical big-endian form).
u32 hash_open_provider(hash_provider& prov, const char* algorithm, u32 flags);
// Properties: "ObjectLength" and "HashDigestLength", 4 bytes each.
// ObjectLength is a multiple of 8, so that objects can lie end to end.
u32 hash_get_property(hash_provider prov, const char* property, u32& value);
// The object lives in `object` (ObjectLength bytes, caller-owned, any
// alignment of at least 8).
u32 hash_create(hash_provider prov, hash_object& h, void* object, u32 object_length, u32 flags);
u32 hash_data(hash_object h, const void* data, u32 length);
// Finishes into `out` of exactly the digest length. A reusable object is
// ready for new data afterwards.
u32 hash_finish(hash_object h, void* out, u32 length);
u32 hash_destroy(hash_object h);
u32 hash_close_provider(hash_provider prov);

}  // namespace os
