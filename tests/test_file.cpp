// G_FILE on regular files, the same on every platform: states, the
// dispositions and their 183 rule, transfers and positions, the second
// handle, the error fields of each side, directories refused at open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/G_FILE.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own under the system's temporary folder.
struct scratch {
    fs::path dir;
    scratch() {
        std::random_device rd;
        const fs::path base = fs::temp_directory_path();
        do dir = base / ("zef-file-" + std::to_string(rd()));
        while (!fs::create_directory(dir));
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string path(const char* name) const { return (dir / name).string(); }
};

void put(const std::string& path, const std::string& data) {
    std::ofstream f(fs::path(path), std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string get(const std::string& path) {
    std::ifstream f(fs::path(path), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string pattern(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

// A buffer at a 4096-byte boundary, as direct transfers need.
struct aligned_buffer {
    std::vector<unsigned char> storage;
    unsigned char* data;
    explicit aligned_buffer(size_t n) : storage(n + 4096) {
        void* p = storage.data();
        size_t room = storage.size();
        data = static_cast<unsigned char*>(std::align(4096, n, p, room));
    }
};

constexpr u32 rd = os::generic_read;
constexpr u32 wr = os::generic_write;
constexpr u32 wrong_state = 0xFFFFFFFFu;
constexpr u32 sentinel = 0x5A5A5A5Au;

// Opens and returns what the open printed on standard output.
std::string open_capturing(G_FILE& f, const std::string& path, u32 access, u32 disposition, u32 flags = 0) {
    testing::internal::CaptureStdout();
    f.open(path.c_str(), access, disposition, flags);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(FileHandle, OpenAndCloseRefusedInTheWrongState) {
    scratch s;
    const std::string p = s.path("a.bin");
    put(p, "abc");

    G_FILE f;
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.handle, os::invalid_handle);
    EXPECT_EQ(f.close(), wrong_state);

    ASSERT_EQ(f.open(p.c_str(), rd, os::open_existing, 0), 0u);
    ASSERT_TRUE(f.is_open);
    const os::handle first = f.handle;
    f.error_r = sentinel;
    f.error_w = sentinel;
    // A second open, even of a path that does not exist, changes nothing.
    EXPECT_EQ(open_capturing(f, s.path("missing"), rd, os::open_existing), "");
    EXPECT_EQ(f.open(s.path("missing").c_str(), rd, os::open_existing, 0), wrong_state);
    EXPECT_TRUE(f.is_open);
    EXPECT_EQ(f.handle, first);
    EXPECT_EQ(f.error_r, sentinel);
    EXPECT_EQ(f.error_w, sentinel);
    char buf[8] = {};
    EXPECT_EQ(f.read(buf, sizeof buf), 3);  // still the first file
    EXPECT_EQ(std::string(buf, 3), "abc");

    EXPECT_EQ(f.close(), 0u);
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.handle, os::invalid_handle);
    EXPECT_EQ(f.close(), wrong_state);
    // Closed again, the object opens anew.
    EXPECT_EQ(f.open(p.c_str(), rd, os::open_existing, 0), 0u);
    EXPECT_TRUE(f.is_open);
}

struct disposition_case {
    const char* name;
    u32 access;
    u32 disposition;
    bool exists;
    u32 result;
    u32 error_r;
    s64 size_after;  // -1: not opened
};

const disposition_case disposition_cases[] = {
    {"create_always new", wr, os::create_always, false, 0, 0, 0},
    {"create_always existing truncates", wr, os::create_always, true, 0, 183, 0},
    {"create_always read+write existing", rd | wr, os::create_always, true, 0, 183, 0},
    {"open_always new", wr, os::open_always, false, 0, 0, 0},
    {"open_always existing keeps", wr, os::open_always, true, 0, 183, 11},
    {"open_always read existing", rd, os::open_always, true, 0, 183, 11},
    {"open_existing existing", rd, os::open_existing, true, 0, 0, 11},
    {"open_existing missing", rd, os::open_existing, false, 2, 2, -1},
    {"open_existing missing for write", wr, os::open_existing, false, 2, 2, -1},
};

TEST(FileHandle, DispositionsAndTheAlreadyExistsRule) {
    for (const disposition_case& c : disposition_cases) {
        SCOPED_TRACE(c.name);
        scratch s;
        const std::string p = s.path("f.bin");
        if (c.exists) put(p, "old content");
        G_FILE f;
        f.error_r = sentinel;
        std::string printed = open_capturing(f, p, c.access, c.disposition);
        EXPECT_EQ(f.error_r, c.result == 0 ? c.error_r : c.result);
        if (c.size_after < 0) {
            EXPECT_FALSE(f.is_open);
            EXPECT_EQ(f.handle, os::invalid_handle);
            EXPECT_EQ(printed.rfind("open(" + p + ")\n   ^ERROR: 2, ", 0), 0u) << printed;
            EXPECT_FALSE(fs::exists(p));
            continue;
        }
        EXPECT_EQ(printed, "");
        ASSERT_TRUE(f.is_open);
        EXPECT_EQ(f.get_size(), c.size_after);
        f.close();
        EXPECT_EQ(static_cast<s64>(fs::file_size(p)), c.size_after);
        if (c.size_after > 0) {
            EXPECT_EQ(get(p), "old content");
        }
    }
}

TEST(FileHandle, TransfersPositionsAndLength) {
    scratch s;
    const std::string p = s.path("t.bin");
    const std::string data = pattern(10000, 1);
    G_FILE f;
    ASSERT_EQ(f.open(p.c_str(), rd | wr, os::create_always, 0), 0u);

    f.error_r = sentinel;
    EXPECT_EQ(f.get_size(), 0);  // just created
    EXPECT_EQ(f.error_r, 0u);

    EXPECT_EQ(f.write(data.data(), 6000), 6000);
    EXPECT_EQ(f.write(data.data() + 6000, 4000), 4000);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(f.get_file_pointer(), 10000);
    EXPECT_EQ(f.get_size(), 10000);

    EXPECT_EQ(f.seek(1000, os::file_begin), 1000);
    EXPECT_EQ(f.seek(500, os::file_current), 1500);
    EXPECT_EQ(f.seek(-16, os::file_end), 9984);
    std::string buf(64, '\0');
    EXPECT_EQ(f.read(buf.data(), 64), 16);  // short at the end
    EXPECT_EQ(buf.substr(0, 16), data.substr(9984));
    EXPECT_EQ(f.read(buf.data(), 64), 0);   // then the end
    EXPECT_EQ(f.error_r, 0u);

    f.error_r = sentinel;
    EXPECT_EQ(f.seek(-1, os::file_begin), -1);
    EXPECT_NE(f.error_r, 0u);
    EXPECT_NE(f.error_r, sentinel);
    EXPECT_EQ(f.get_file_pointer(), 10000);  // unmoved by the failed seek
    EXPECT_EQ(f.error_r, 0u);

    ASSERT_EQ(f.seek(4096, os::file_begin), 4096);
    f.error_w = sentinel;
    EXPECT_EQ(f.set_eof(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(f.get_size(), 4096);
    f.close();
    EXPECT_EQ(get(p), data.substr(0, 4096));
}

TEST(FileHandle, EachSideKeepsItsOwnError) {
    scratch s;
    const std::string p = s.path("e.bin");
    put(p, "0123456789");
    char buf[16] = {};

    G_FILE reader;
    ASSERT_EQ(reader.open(p.c_str(), rd, os::open_existing, 0), 0u);
    reader.error_r = sentinel;
    EXPECT_EQ(reader.write("xyz", 3), -1);
    EXPECT_NE(reader.error_w, 0u);
    EXPECT_EQ(reader.error_r, sentinel);
    EXPECT_NE(reader.set_eof(), 0u);
    EXPECT_NE(reader.error_w, 0u);
    EXPECT_EQ(reader.read(buf, sizeof buf), 10);  // the handle still reads
    EXPECT_EQ(reader.error_r, sentinel);          // a good read keeps the field

    G_FILE writer;
    ASSERT_EQ(writer.open(p.c_str(), wr, os::open_existing, 0), 0u);
    writer.error_w = sentinel;
    EXPECT_EQ(writer.read(buf, sizeof buf), -1);
    EXPECT_NE(writer.error_r, 0u);
    EXPECT_EQ(writer.error_w, sentinel);
    EXPECT_EQ(writer.write("ab", 2), 2);
    writer.close();
    reader.close();
    EXPECT_EQ(get(p), "ab23456789");
}

TEST(FileHandle, FlushOfAReadOnlyFile) {
    scratch s;
    const std::string p = s.path("r.bin");
    put(p, pattern(5000, 2));
    G_FILE f;
    ASSERT_EQ(f.open(p.c_str(), rd, os::open_existing, 0), 0u);
    f.error_w = sentinel;
    EXPECT_EQ(f.flush(), 0u);
    EXPECT_EQ(f.error_w, 0u);
    EXPECT_EQ(f.get_size(), 5000);
}

TEST(FileHandle, ReopenGivesAnIndependentBufferedHandle) {
    scratch s;
    const std::string p = s.path("u.bin");
    const std::string data = pattern(8192 + 100, 3);
    aligned_buffer block(8192);
    std::memcpy(block.data, data.data(), 8192);

    G_FILE direct;
    ASSERT_EQ(direct.open(p.c_str(), rd | wr, os::create_always, os::flag_no_buffering), 0u);
    ASSERT_EQ(direct.write(block.data, 8192), 8192);

    G_FILE tail;
    tail.error_r = sentinel;
    direct.reopen(tail);
    ASSERT_TRUE(tail.is_open);
    EXPECT_EQ(tail.error_r, 0u);
    EXPECT_NE(tail.handle, direct.handle);
    // Its own file pointer: the tail lands after the aligned part, unaligned.
    EXPECT_EQ(tail.get_file_pointer(), 0);
    ASSERT_EQ(tail.seek(8192, os::file_begin), 8192);
    EXPECT_EQ(tail.write(data.data() + 8192, 100), 100);
    EXPECT_EQ(direct.get_file_pointer(), 8192);
    EXPECT_EQ(tail.close(), 0u);

    // The first handle lives on and reads aligned blocks up to the end.
    ASSERT_EQ(direct.seek(0, os::file_begin), 0);
    aligned_buffer back(16384);
    EXPECT_EQ(direct.read(back.data, 16384), 8292);
    EXPECT_EQ(std::memcmp(back.data, data.data(), 8292), 0);
    direct.close();
    EXPECT_EQ(get(p), data);
}

TEST(FileHandle, ReopenOfAClosedObjectLeavesTheTargetClosed) {
    G_FILE closed, target;
    closed.reopen(target);
    EXPECT_FALSE(target.is_open);
    EXPECT_EQ(target.handle, os::invalid_handle);
    EXPECT_NE(target.error_r, 0u);
}

TEST(FileHandle, DeviceRequestsOnARegularFile) {
    scratch s;
    const std::string p = s.path("d.bin");
    put(p, pattern(4096, 4));
    G_FILE f;
    ASSERT_EQ(f.open(p.c_str(), rd | wr, os::open_existing, 0), 0u);

    EXPECT_EQ(f.get_disk_length(), 0);
    EXPECT_NE(f.error_r, 0u);

    // No length: nothing is sent, and the run goes on.
    f.error_w = sentinel;
    EXPECT_EQ(f.lock_dismount(), 0u);
    EXPECT_EQ(f.error_w, 0u);

    f.error_w = sentinel;
    EXPECT_FALSE(f.set_offline(1));
    EXPECT_EQ(f.error_w, sentinel);
    EXPECT_FALSE(f.set_offline(0));
    EXPECT_EQ(f.error_w, sentinel);

    // The file is as it was, and still usable.
    EXPECT_EQ(f.get_size(), 4096);
    EXPECT_EQ(f.write("z", 1), 1);
    f.close();
    std::string expected = pattern(4096, 4);
    expected[0] = 'z';
    EXPECT_EQ(get(p), expected);
}

TEST(FileHandle, DirectoryRefusedAtOpen) {
    scratch s;
    const std::string d = s.path("sub");
    fs::create_directory(d);
    struct access_case {
        u32 access, disposition;
    } cases[] = {
        {rd, os::open_existing},
        {rd | wr, os::open_existing},
        {wr, os::open_existing},
        {wr, os::create_always},
        {rd | wr, os::open_always},
    };
    for (const access_case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.access << " disposition " << c.disposition);
        G_FILE f;
        std::string printed = open_capturing(f, d, c.access, c.disposition);
        EXPECT_EQ(f.error_r, 336u);
        EXPECT_FALSE(f.is_open);
        EXPECT_EQ(f.handle, os::invalid_handle);
        EXPECT_EQ(printed.rfind("open(" + d + ")\n   ^ERROR: 336, ", 0), 0u) << printed;
        // One report, even where the open was tried twice.
        EXPECT_EQ(printed.find("open(", 1), std::string::npos) << printed;
        EXPECT_TRUE(fs::is_directory(d));
    }
}

}  // namespace
