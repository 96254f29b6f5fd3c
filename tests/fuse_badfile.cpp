// A file system of one file, disk.img, whose reads fail with EIO where they
// touch a given byte range: a failing disk for a loop device to sit on.
//   fuse_badfile MOUNTPOINT SIZE BAD_START BAD_LEN [FLIP_AT] [fuse options, e.g. -f]
// Byte i of the file is (i * 31 + 7) & 0xFF until written. With FLIP_AT the
// file is writable, and a write that covers byte FLIP_AT stores it inverted
// (XOR 0xFF) while reporting success: a disk that silently keeps a wrong
// byte. Opened with direct_io, so the kernel keeps no copy and every read
// and write reaches this program.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

const char* const file_path = "/disk.img";
uint64_t file_size = 0, bad_start = 0, bad_end = 0, flip_at = 0;
bool writable = false;
std::vector<char> data;

int do_getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, file_path) != 0) return -ENOENT;
    st->st_mode = S_IFREG | (writable ? 0644 : 0444);
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(file_size);
    return 0;
}

int do_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, file_path + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int do_open(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, file_path) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY && !writable) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int do_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (std::strcmp(path, file_path) != 0) return -ENOENT;
    const uint64_t from = static_cast<uint64_t>(offset);
    if (from >= file_size) return 0;
    const uint64_t to = from + size < file_size ? from + size : file_size;
    if (from < bad_end && to > bad_start) return -EIO;
    std::memcpy(buf, data.data() + from, to - from);
    return static_cast<int>(to - from);
}

int do_write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info*) {
    if (std::strcmp(path, file_path) != 0) return -ENOENT;
    if (!writable) return -EROFS;
    const uint64_t from = static_cast<uint64_t>(offset);
    if (from >= file_size) return -ENOSPC;
    const uint64_t to = from + size < file_size ? from + size : file_size;
    std::memcpy(data.data() + from, buf, to - from);
    if (flip_at >= from && flip_at < to) data[flip_at] = static_cast<char>(data[flip_at] ^ 0xFF);
    return static_cast<int>(to - from);
}

bool parse(const char* s, uint64_t& v) {
    char* end = nullptr;
    errno = 0;
    v = std::strtoull(s, &end, 0);
    return errno == 0 && end != s && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t bad_len = 0;
    if (argc < 5 || !parse(argv[2], file_size) || !parse(argv[3], bad_start) || !parse(argv[4], bad_len)) {
        std::fprintf(stderr, "usage: %s MOUNTPOINT SIZE BAD_START BAD_LEN [fuse options]\n", argv[0]);
        return 2;
    }
    bad_end = bad_start + bad_len;
    int first_option = 5;
    if (argc > 5 && argv[5][0] != '-') {
        if (!parse(argv[5], flip_at)) {
            std::fprintf(stderr, "%s: bad FLIP_AT '%s'\n", argv[0], argv[5]);
            return 2;
        }
        writable = true;
        first_option = 6;
    }
    data.resize(file_size);
    for (uint64_t i = 0; i < file_size; ++i) data[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    // fuse_main wants the mount point among its own options.
    std::vector<char*> args{argv[0], argv[1]};
    for (int i = first_option; i < argc; ++i) args.push_back(argv[i]);
    fuse_operations ops{};
    ops.getattr = do_getattr;
    ops.readdir = do_readdir;
    ops.open = do_open;
    ops.read = do_read;
    ops.write = do_write;
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
