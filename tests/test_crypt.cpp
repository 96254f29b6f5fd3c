// The hash provider and the hash set: digests against published vectors
// (RFC 1319/1320/1321, FIPS 180; XXH3-128 as xxh128sum prints it), the
// one-allocation layout, lists of algorithms, the life cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "hash/G_CRYPT.h"
#include "os/hash.h"

namespace {

enum : u32 { MD2, MD4, MD5, SHA1, SHA256, SHA384, SHA512, XXH128 };

constexpr const char* names[] = {"MD2", "MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512", "XXH128"};
constexpr u32 digest_bytes[] = {16, 16, 16, 20, 32, 48, 64, 16};

// Digest of the empty message, per algorithm.
constexpr const char* empty_digest[] = {
    "8350e5a3e24c153df2275c9f80692773",
    "31d6cfe0d16ae931b73c59d7e0c089c0",
    "d41d8cd98f00b204e9800998ecf8427e",
    "da39a3ee5e6b4b0d3255bfef95601890afd80709",
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
    "63b931bd47417a81a538327af927da3e",
    "99aa06d3014798d86001c324468d497f",
};

struct vector_case {
    u32 alg;
    const char* message;
    const char* digest;
};

constexpr char abc[] = "abc";
constexpr char md[] = "message digest";
constexpr char az[] = "abcdefghijklmnopqrstuvwxyz";
constexpr char two_blocks[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

const vector_case vectors[] = {
    {MD2, abc, "da853b0d3f88d99b30283a69e6ded6bb"},
    {MD2, md, "ab4f496bfb2a530b219ff33031fe06b0"},
    {MD2, az, "4e8ddff3650292ab5a4108c3aa47940b"},
    {MD4, abc, "a448017aaf21d8525fc10ae87aa6729d"},
    {MD4, md, "d9130a8164549fe818874806e1c7014b"},
    {MD4, az, "d79e1c308aa5bbcdeea8ed63df412da9"},
    {MD5, abc, "900150983cd24fb0d6963f7d28e17f72"},
    {MD5, md, "f96b697d7cb7938d525a2f31aaf161d0"},
    {MD5, two_blocks, "8215ef0796a20bcaaae116d3876c664a"},
    {SHA1, abc, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {SHA1, md, "c12252ceda8be8994d5fa0290a47231c1d16aae3"},
    {SHA1, two_blocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {SHA256, abc, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {SHA256, two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {SHA384, abc,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {SHA384, two_blocks,
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b"},
    {SHA512, abc,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {SHA512, two_blocks,
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca0"
     "31ad85c7a71dd70354ec631238ca3445"},
    {XXH128, abc, "06b05ab6733a618578af5f94892f3950"},
    {XXH128, md, "34ab715d95e3b6490abfabecb8e3a424"},
    {XXH128, az, "db7ca44e84843d67ebe162220154e1e6"},
    {XXH128, two_blocks, "3d62d22a5169b016c0d894fd4828a1a7"},
};

// One million 'a'.
const vector_case million_a[] = {
    {MD4, nullptr, "bbce80cc6bb65e5c6745e30d4eeca9a4"},
    {MD5, nullptr, "7707d6ae4e027c70eea2a935c2296f21"},
    {SHA1, nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {SHA256, nullptr, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {SHA384, nullptr,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {SHA512, nullptr,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
    {XXH128, nullptr, "a545df8e384a9579b1fd6fae5285c4eb"},
};

std::string hex(const u8* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string digest_of(const G_CRYPT& set, size_t i) { return hex(set.txt_hashes[i], set.txt_length); }

// Feeds `data` to context `index` in pieces that straddle every block size.
void feed_unevenly(G_CRYPT& set, u64 index, const std::vector<u8>& data) {
    size_t at = 0;
    const size_t pieces[] = {1, 63, 64, 65, 127, 999, 4097};
    for (size_t k = 0; at < data.size(); ++k) {
        const size_t n = std::min(pieces[k % std::size(pieces)], data.size() - at);
        ASSERT_EQ(set.hash_data(index, data.data() + at, n), 0u);
        at += n;
    }
}

void expect_empty(const G_CRYPT& set) {
    EXPECT_EQ(set.all_length, 0u);
    EXPECT_EQ(set.ptr_length, 0u);
    EXPECT_EQ(set.txt_all_length, 0u);
    EXPECT_EQ(set.obj_length, 0u);
    EXPECT_EQ(set.ctx, nullptr);
    EXPECT_EQ(set.h_prov, nullptr);
    EXPECT_EQ(set.flags, 0u);
    EXPECT_FALSE(set.is_ready);
    EXPECT_EQ(set.alg_id, 0u);
    EXPECT_EQ(set.txt_hashes, nullptr);
    EXPECT_EQ(set.txt_length, 0u);
    EXPECT_EQ(set.ctx_count, 0u);
    EXPECT_EQ(set.alg_count, 0u);
    for (u32 k = 0; k < G_CRYPT_ALG_COUNT; ++k) {
        EXPECT_EQ(set.alg_ids[k], 0u);
        EXPECT_EQ(set.h_provs[k], nullptr);
        EXPECT_EQ(set.obj_lengths[k], 0u);
        EXPECT_EQ(set.txt_lengths[k], 0u);
    }
}

// A provider and one object placed in an 8-byte (not 16-byte) aligned spot.
struct provider_object {
    os::hash_provider prov = nullptr;
    os::hash_object h = nullptr;
    u32 object_length = 0;
    u32 digest_length = 0;
    alignas(64) u8 memory[4096 + 8];

    explicit provider_object(const char* name) {
        EXPECT_EQ(os::hash_open_provider(prov, name, os::hash_reusable_flag), 0u);
        EXPECT_EQ(os::hash_get_property(prov, "ObjectLength", object_length), 0u);
        EXPECT_EQ(os::hash_get_property(prov, "HashDigestLength", digest_length), 0u);
        EXPECT_LE(object_length, 4096u);
        EXPECT_EQ(os::hash_create(prov, h, memory + 8, object_length, os::hash_reusable_flag), 0u);
    }
    ~provider_object() {
        if (h != nullptr) {
            EXPECT_EQ(os::hash_destroy(h), 0u);
        }
        if (prov != nullptr) {
            EXPECT_EQ(os::hash_close_provider(prov), 0u);
        }
    }
    std::string finish() {
        u8 out[64] = {};
        EXPECT_EQ(os::hash_finish(h, out, digest_length), 0u);
        return hex(out, digest_length);
    }
};

// ---------------------------------------------------------------- provider

TEST(HashProvider, PropertiesOfEveryAlgorithm) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) {
        SCOPED_TRACE(names[alg]);
        os::hash_provider prov = nullptr;
        ASSERT_EQ(os::hash_open_provider(prov, names[alg], os::hash_reusable_flag), 0u);
        ASSERT_NE(prov, nullptr);
        u32 value = 0;
        EXPECT_EQ(os::hash_get_property(prov, "HashDigestLength", value), 0u);
        EXPECT_EQ(value, digest_bytes[alg]);
        value = 0;
        EXPECT_EQ(os::hash_get_property(prov, "ObjectLength", value), 0u);
        EXPECT_GT(value, 0u);
        EXPECT_NE(os::hash_get_property(prov, "NoSuchProperty", value), 0u);
        EXPECT_EQ(os::hash_close_provider(prov), 0u);

        // Also without the reusable flag.
        ASSERT_EQ(os::hash_open_provider(prov, names[alg], 0), 0u);
        EXPECT_EQ(os::hash_close_provider(prov), 0u);
    }
}

TEST(HashProvider, UnknownAlgorithmIsNotFound) {
    for (const char* name : {"SHA3", "SHA224", "SHA1 "}) {
        SCOPED_TRACE(name);
        os::hash_provider prov = nullptr;
        // A failure status (the exact one is the provider's: not found here,
        // Wine's CNG says "not implemented").
        EXPECT_GE(os::hash_open_provider(prov, name, os::hash_reusable_flag), 0xC0000000u);
        EXPECT_GE(os::hash_open_provider(prov, name, 0), 0xC0000000u);
        EXPECT_EQ(prov, nullptr);
    }
}

TEST(HashProvider, FinishTakesExactlyTheDigestLength) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) {
        SCOPED_TRACE(names[alg]);
        provider_object p(names[alg]);
        ASSERT_EQ(os::hash_data(p.h, abc, 3), 0u);
        u8 out[512] = {};
        EXPECT_EQ(os::hash_finish(p.h, out, p.digest_length - 1), os::status_invalid_parameter);
        EXPECT_EQ(os::hash_finish(p.h, out, p.digest_length + 1), os::status_invalid_parameter);
        EXPECT_EQ(os::hash_finish(p.h, out, 256), os::status_invalid_parameter);
        // A refused finish leaves the data in the object.
        for (const vector_case& v : vectors)
            if (v.alg == alg && v.message == abc) {
                EXPECT_EQ(p.finish(), v.digest);
            }
    }
}

TEST(HashProvider, ObjectStartsOverAfterFinish) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) {
        SCOPED_TRACE(names[alg]);
        provider_object p(names[alg]);
        std::string first, second;
        ASSERT_EQ(os::hash_data(p.h, md, 14), 0u);
        first = p.finish();
        ASSERT_EQ(os::hash_data(p.h, md, 14), 0u);
        second = p.finish();
        EXPECT_EQ(first, second);
        EXPECT_EQ(p.finish(), empty_digest[alg]);
    }
}

// ---------------------------------------------------------------- hash set

TEST(CryptSet, AlgorithmTable) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) EXPECT_STREQ(G_CRYPT_ALG_ID[alg], names[alg]);
}

TEST(CryptSet, KnownVectors) {
    for (const vector_case& v : vectors) {
        SCOPED_TRACE(std::string(names[v.alg]) + " \"" + v.message + "\"");
        G_CRYPT set;
        ASSERT_EQ(set.init(v.alg), 0u);
        ASSERT_EQ(set.txt_length, digest_bytes[v.alg]);
        ASSERT_EQ(set.hash_data(0, v.message, std::strlen(v.message)), 0u);
        ASSERT_EQ(set.finish_all(), 0u);
        EXPECT_EQ(digest_of(set, 0), v.digest);
        // Context 1 was never fed: the digest of no data.
        EXPECT_EQ(digest_of(set, 1), empty_digest[v.alg]);
    }
}

TEST(CryptSet, EmptyInputOnBothContexts) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) {
        SCOPED_TRACE(names[alg]);
        G_CRYPT set;
        ASSERT_EQ(set.init(alg), 0u);
        ASSERT_EQ(set.hash_data(0, abc, 0), 0u);
        ASSERT_EQ(set.finish_all(), 0u);
        EXPECT_EQ(digest_of(set, 0), empty_digest[alg]);
        EXPECT_EQ(digest_of(set, 1), empty_digest[alg]);
    }
}

TEST(CryptSet, MillionAInUnevenPieces) {
    const std::vector<u8> data(1000000, 'a');
    for (const vector_case& v : million_a) {
        SCOPED_TRACE(names[v.alg]);
        G_CRYPT set;
        ASSERT_EQ(set.init(v.alg), 0u);
        feed_unevenly(set, 1, data);
        ASSERT_EQ(set.finish_all(), 0u);
        EXPECT_EQ(digest_of(set, 1), v.digest);
        EXPECT_EQ(digest_of(set, 0), empty_digest[v.alg]);
    }
}

TEST(CryptSet, ContextsAreIndependent) {
    G_CRYPT set;
    ASSERT_EQ(set.init(SHA1), 0u);
    // Interleaved: "abc" on context 0, "message digest" on context 1.
    ASSERT_EQ(set.hash_data(1, "message", 7), 0u);
    ASSERT_EQ(set.hash_data(0, "a", 1), 0u);
    ASSERT_EQ(set.hash_data(1, " ", 1), 0u);
    ASSERT_EQ(set.hash_data(0, "bc", 2), 0u);
    ASSERT_EQ(set.hash_data(1, "digest", 6), 0u);
    ASSERT_EQ(set.finish_all(), 0u);
    EXPECT_EQ(digest_of(set, 0), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(digest_of(set, 1), "c12252ceda8be8994d5fa0290a47231c1d16aae3");
}

TEST(CryptSet, ContextsFedFromTwoThreads) {
    const std::vector<u8> data(1000000, 'a');
    for (u32 alg : {MD4, SHA256, SHA512, XXH128}) {
        SCOPED_TRACE(names[alg]);
        G_CRYPT set;
        ASSERT_EQ(set.init(alg), 0u);
        std::thread first([&] { feed_unevenly(set, 0, data); });
        std::thread second([&] { feed_unevenly(set, 1, data); });
        first.join();
        second.join();
        ASSERT_EQ(set.finish_all(), 0u);
        for (const vector_case& v : million_a) {
            if (v.alg != alg) continue;
            EXPECT_EQ(digest_of(set, 0), v.digest);
            EXPECT_EQ(digest_of(set, 1), v.digest);
        }
    }
}

TEST(CryptSet, OneAllocationLayout) {
    for (u32 alg = MD2; alg <= XXH128; ++alg) {
        SCOPED_TRACE(names[alg]);
        provider_object p(names[alg]);
        G_CRYPT set;
        ASSERT_EQ(set.init(alg), 0u);
        EXPECT_TRUE(set.is_ready);
        EXPECT_EQ(set.alg_id, alg);
        EXPECT_EQ(set.flags, os::hash_reusable_flag);
        EXPECT_EQ(set.ctx_count, 2u);
        EXPECT_EQ(set.obj_length, p.object_length);
        EXPECT_EQ(set.txt_length, digest_bytes[alg]);
        EXPECT_EQ(set.ptr_length, 16u);
        EXPECT_EQ(set.txt_all_length, 2u * digest_bytes[alg]);
        EXPECT_EQ(set.all_length, set.txt_all_length + 2 * set.ptr_length + 2 * size_t{set.obj_length});

        const auto* base = reinterpret_cast<const u8*>(set.txt_hashes);
        EXPECT_EQ(reinterpret_cast<const u8*>(set.ctx), base + set.ptr_length);
        EXPECT_EQ(set.txt_hashes[0], base + 2 * set.ptr_length + 2 * size_t{set.obj_length});
        EXPECT_EQ(set.txt_hashes[1] - set.txt_hashes[0], static_cast<std::ptrdiff_t>(set.txt_length));
        EXPECT_EQ(set.txt_hashes[1] + set.txt_length, base + set.all_length);
        EXPECT_NE(set.ctx[0], nullptr);
        EXPECT_NE(set.ctx[1], nullptr);
        EXPECT_NE(set.ctx[0], set.ctx[1]);
        // The digests start zeroed.
        for (u32 i = 0; i < set.txt_all_length; ++i) ASSERT_EQ(set.txt_hashes[0][i], 0u);
    }
}

TEST(CryptSet, ReleaseReturnsToEmpty) {
    G_CRYPT set;
    expect_empty(set);
    set.release();
    expect_empty(set);
    ASSERT_EQ(set.init(SHA512), 0u);
    ASSERT_EQ(set.hash_data(0, abc, 3), 0u);
    ASSERT_EQ(set.finish_all(), 0u);
    set.release();
    expect_empty(set);
    set.release();
    expect_empty(set);
}

TEST(CryptSet, InitOnReadySetStartsOver) {
    G_CRYPT set;
    ASSERT_EQ(set.init(SHA1), 0u);
    ASSERT_EQ(set.hash_data(0, abc, 3), 0u);
    ASSERT_EQ(set.hash_data(1, md, 14), 0u);

    ASSERT_EQ(set.init(SHA256), 0u);
    EXPECT_EQ(set.alg_id, SHA256);
    EXPECT_EQ(set.txt_length, 32u);
    ASSERT_EQ(set.finish_all(), 0u);
    EXPECT_EQ(digest_of(set, 0), empty_digest[SHA256]);
    EXPECT_EQ(digest_of(set, 1), empty_digest[SHA256]);

    // Same algorithm again after data and a finish.
    ASSERT_EQ(set.hash_data(0, abc, 3), 0u);
    ASSERT_EQ(set.init(SHA256), 0u);
    ASSERT_EQ(set.finish_all(), 0u);
    EXPECT_EQ(digest_of(set, 0), empty_digest[SHA256]);
}

TEST(CryptSet, NotReadySetFeedsNothingSilently) {
    G_CRYPT set;
    testing::internal::CaptureStdout();
    const u32 fresh = set.hash_data(0, abc, 3);
    ASSERT_EQ(set.init(MD5), 0u);
    set.release();
    const u32 released = set.hash_data(1, abc, 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(released, 0u);
    EXPECT_EQ(out, "");
    expect_empty(set);
}

TEST(CryptSet, AlgorithmOffTheTableLeavesSetEmpty) {
    G_CRYPT set;
    testing::internal::CaptureStdout();
    const u32 status = set.init(G_CRYPT_ALG_COUNT);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(status, 0xC0000000u);
    EXPECT_EQ(out.rfind("BCryptOpenAlgorithmProvider(&h_prov, G_CRYPT_ALG_ID[alg_id], NULL, flags)\n"
                        "   ^ERROR: " + std::to_string(status) + ", ",
                        0),
              0u)
        << out;
    EXPECT_FALSE(set.is_ready);
    EXPECT_EQ(set.h_prov, nullptr);
    EXPECT_EQ(set.txt_hashes, nullptr);
    EXPECT_EQ(set.ctx, nullptr);
    EXPECT_NE(set.hash_data(0, abc, 3), 0u);
    set.release();
    expect_empty(set);
}

TEST(CryptSet, FinishFailurePrintedOnceForAllContexts) {
    G_CRYPT set;
    ASSERT_EQ(set.init(SHA1), 0u);
    ASSERT_EQ(set.hash_data(0, abc, 3), 0u);
    // The length a failed "HashDigestLength" query leaves behind.
    set.txt_length = 256;
    testing::internal::CaptureStdout();
    const u32 status = set.finish_all();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, os::status_invalid_parameter);
    const std::string text = "BCryptFinishHash(ctx[i], txt_hashes[i], txt_length, 0)\n   ^ERROR: 3221225485, ";
    EXPECT_EQ(out.rfind(text, 0), 0u) << out;
    EXPECT_EQ(out.find("BCryptFinishHash", 1), std::string::npos) << out;

    // Nothing was consumed: the right length still gives the digest.
    set.txt_length = 20;
    ASSERT_EQ(set.finish_all(), 0u);
    EXPECT_EQ(digest_of(set, 0), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

// ---------------------------------------------------------------- lists

const char* vector_digest(u32 alg, const char* message) {
    for (const vector_case& v : vectors)
        if (v.alg == alg && v.message == message) return v.digest;
    return "";
}

TEST(CryptSet, NamesFoundInAnyCase) {
    struct row {
        const char* name;
        size_t length;
        u32 id;
    };
    const row rows[] = {
        {"md2", 3, MD2},       {"MD4", 3, MD4},       {"Md5", 3, MD5},        {"sha1", 4, SHA1},
        {"SHA256", 6, SHA256}, {"sHa384", 6, SHA384}, {"sha512", 6, SHA512},  {"xxh128", 6, XXH128},
        {"XXH128", 6, XXH128}, {"sha1,md5", 4, SHA1},  {"sha256", 4, G_CRYPT_ALG_COUNT},
        {"sha", 3, G_CRYPT_ALG_COUNT}, {"sha2560", 7, G_CRYPT_ALG_COUNT}, {"", 0, G_CRYPT_ALG_COUNT},
        {"xxh64", 5, G_CRYPT_ALG_COUNT}, {"sha-1", 5, G_CRYPT_ALG_COUNT},
    };
    for (const row& r : rows) EXPECT_EQ(G_CRYPT_find_alg(r.name, r.length), r.id) << r.name << " " << r.length;
}

// Context i * alg_count + k: input i, list position k, each with its own
// digest length, laid out in context order in the one allocation.
TEST(CryptSet, ListContextsInListOrder) {
    const u32 list[] = {SHA256, XXH128, MD5, SHA512};
    G_CRYPT set;
    ASSERT_EQ(set.init_list(list, 4), 0u);
    EXPECT_EQ(set.alg_count, 4u);
    EXPECT_EQ(set.ctx_count, 8u);
    size_t objects = 0;
    for (u32 k = 0; k < 4; ++k) {
        EXPECT_EQ(set.alg_ids[k], list[k]);
        EXPECT_EQ(set.txt_lengths[k], digest_bytes[list[k]]);
        EXPECT_EQ(set.obj_lengths[k] % 8, 0u);
        objects += set.obj_lengths[k];
    }
    EXPECT_EQ(set.alg_id, SHA256);
    EXPECT_EQ(set.txt_length, 32u);
    EXPECT_EQ(set.txt_all_length, 2u * (32 + 16 + 16 + 64));
    EXPECT_EQ(set.all_length, set.txt_all_length + 2 * set.ptr_length + 2 * objects);
    const auto* base = reinterpret_cast<const u8*>(set.txt_hashes);
    EXPECT_EQ(set.txt_hashes[0], base + 2 * set.ptr_length + 2 * objects);
    for (size_t i = 0; i + 1 < set.ctx_count; ++i)
        EXPECT_EQ(set.txt_hashes[i + 1], set.txt_hashes[i] + set.digest_length(i));
    EXPECT_EQ(set.txt_hashes[7] + set.digest_length(7), base + set.all_length);

    for (u32 k = 0; k < 4; ++k) {
        ASSERT_EQ(set.hash_data(0 * 4 + k, abc, 3), 0u);
        ASSERT_EQ(set.hash_data(1 * 4 + k, md, 14), 0u);
    }
    ASSERT_EQ(set.finish_all(), 0u);
    for (u32 k = 0; k < 4; ++k) {
        SCOPED_TRACE(names[list[k]]);
        EXPECT_EQ(set.digest_length(k), digest_bytes[list[k]]);
        EXPECT_EQ(set.digest_length(4 + k), digest_bytes[list[k]]);
        EXPECT_EQ(hex(set.txt_hashes[k], set.digest_length(k)), vector_digest(list[k], abc));
        if (list[k] != SHA256 && list[k] != SHA512) {  // no "message digest" vector for these
            EXPECT_EQ(hex(set.txt_hashes[4 + k], set.digest_length(4 + k)), vector_digest(list[k], md));
        }
    }
    EXPECT_EQ(set.hash_data(8, abc, 3), os::status_invalid_parameter);
}

// Every context of a list fed by its own thread at the same time.
TEST(CryptSet, ListFedFromOneThreadPerContext) {
    const std::vector<u8> data(1000000, 'a');
    const u32 list[] = {MD4, SHA1, SHA512, XXH128};
    G_CRYPT set;
    ASSERT_EQ(set.init_list(list, 4), 0u);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < set.ctx_count; ++i) threads.emplace_back([&, i] { feed_unevenly(set, i, data); });
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(set.finish_all(), 0u);
    for (size_t i = 0; i < set.ctx_count; ++i) {
        const u32 alg = list[i % 4];
        SCOPED_TRACE(names[alg]);
        for (const vector_case& v : million_a) {
            if (v.alg == alg) {
                EXPECT_EQ(hex(set.txt_hashes[i], set.digest_length(i)), v.digest);
            }
        }
    }
}

TEST(CryptSet, SingleAlgorithmIsAListOfOne) {
    G_CRYPT set;
    ASSERT_EQ(set.init(XXH128), 0u);
    EXPECT_EQ(set.alg_count, 1u);
    EXPECT_EQ(set.alg_ids[0], XXH128);
    EXPECT_EQ(set.ctx_count, 2u);
    EXPECT_EQ(set.digest_length(0), 16u);
    EXPECT_EQ(set.digest_length(1), 16u);
}

TEST(CryptSet, BadListsLeaveSetEmpty) {
    const u32 list[] = {SHA1, MD5, G_CRYPT_ALG_COUNT, SHA256, MD2, MD4, SHA384, SHA512, XXH128};
    G_CRYPT set;
    EXPECT_EQ(set.init_list(list, 0), os::status_invalid_parameter);
    expect_empty(set);
    EXPECT_EQ(set.init_list(nullptr, 2), os::status_invalid_parameter);
    expect_empty(set);
    EXPECT_EQ(set.init_list(list, G_CRYPT_ALG_COUNT + 1), os::status_invalid_parameter);
    expect_empty(set);
    // An id off the table in third place: the two opened before are closed.
    testing::internal::CaptureStdout();
    const u32 status = set.init_list(list, 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(status, 0xC0000000u);
    EXPECT_EQ(out.rfind("BCryptOpenAlgorithmProvider(", 0), 0u) << out;
    expect_empty(set);
    EXPECT_NE(set.hash_data(0, abc, 3), 0u);
}

}  // namespace
