// The Linux hash provider's own refusals, with its exact statuses.
#include <gtest/gtest.h>

#include "os/hash.h"

namespace {

TEST(HashProviderPosix, UnknownAlgorithmIsNotFound) {
    for (const char* name : {"SHA3", "SHA224", "SHA1 "}) {
        os::hash_provider prov = nullptr;
        EXPECT_EQ(os::hash_open_provider(prov, name, os::hash_reusable_flag), os::status_not_found) << name;
        EXPECT_EQ(prov, nullptr);
    }
}

TEST(HashProviderPosix, ObjectMemoryTooSmallIsRefused) {
    os::hash_provider prov = nullptr;
    ASSERT_EQ(os::hash_open_provider(prov, "SHA256", 0), 0u);
    u32 object_length = 0;
    ASSERT_EQ(os::hash_get_property(prov, "ObjectLength", object_length), 0u);
    ASSERT_GT(object_length, 1u);
    alignas(64) u8 small[4096];
    os::hash_object h = nullptr;
    EXPECT_EQ(os::hash_create(prov, h, small, object_length - 1, 0), os::status_buffer_too_small);
    EXPECT_EQ(os::hash_close_provider(prov), 0u);
}

}  // namespace
