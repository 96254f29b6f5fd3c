// Files, devices and standard streams on Linux.
//
// Device requests map as follows: the volume lock is an O_EXCL hold of the
// block device (the kernel then refuses mounts and other exclusive users),
// the dismount unmounts every mount of the device, "offline" unmounts the
// disk and its partitions and holds the disk, the property update re-reads
// the partition table.
//
// Test seam: ZEF_FAULT_READ / ZEF_FAULT_WRITE = "OFFSET+LENGTH:ERRNO[,...]"
// make reads (writes) that touch a byte range fail with that errno, on files
// opened by path whose path equals ZEF_FAULT_PATH (every path when unset).
// A read that touches a range fails whole, as a direct read of a failing
// device does; a write writes the bytes before the range, then fails.
// ZEF_FAULT_CORRUPT = "OFFSET[,OFFSET...]" stores the byte written at each
// of those file offsets inverted (XOR 0xFF) and reports success, as a device
// that silently keeps a wrong byte.
// ZEF_COUNT_READS = PATH writes the number of bytes read through this
// backend into PATH when the process exits.
#include "os/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/console.h"
#include "os/posix/errors.h"
#include "os/posix/posix.h"

namespace os {

using posix::fail;
using posix::io_side;

namespace {

constexpr int max_fd = 4096;

// Exclusive holds taken by lock_volume and set_disk_offline, by fd.
int lock_fd[max_fd];
int offline_fd[max_fd];
bool lock_pending[max_fd];
bool holds_ready = [] {
    for (int i = 0; i < max_fd; ++i) lock_fd[i] = offline_fd[i] = -1;
    return true;
}();

struct fault_range {
    s64 start;
    s64 end;
    int e;
};
struct fault_set {
    std::vector<fault_range> read, write;
    std::vector<s64> corrupt;
    std::string path;
    bool any_path = true;
};
std::atomic<bool> faulty[max_fd];

std::vector<fault_range> parse_faults(const char* text) {
    std::vector<fault_range> out;
    if (!text) return out;
    const char* p = text;
    while (*p) {
        char* next = nullptr;
        s64 start = std::strtoll(p, &next, 0);
        if (*next != '+') break;
        s64 length = std::strtoll(next + 1, &next, 0);
        if (*next != ':') break;
        int e = static_cast<int>(std::strtol(next + 1, &next, 0));
        out.push_back({start, start + length, e});
        p = next;
        if (*p == ',') ++p;
    }
    return out;
}

std::vector<s64> parse_offsets(const char* text) {
    std::vector<s64> out;
    for (const char* p = text; p && *p;) {
        char* next = nullptr;
        const s64 at = std::strtoll(p, &next, 0);
        if (next == p) break;
        out.push_back(at);
        p = *next == ',' ? next + 1 : next;
    }
    return out;
}

const fault_set& faults() {
    static const fault_set set = [] {
        fault_set s;
        s.read = parse_faults(std::getenv("ZEF_FAULT_READ"));
        s.write = parse_faults(std::getenv("ZEF_FAULT_WRITE"));
        s.corrupt = parse_offsets(std::getenv("ZEF_FAULT_CORRUPT"));
        if (const char* p = std::getenv("ZEF_FAULT_PATH")) {
            s.path = p;
            s.any_path = false;
        }
        return s;
    }();
    return set;
}

// First fault range that [pos, pos + count) touches, or null.
const fault_range* fault_at(const std::vector<fault_range>& ranges, s64 pos, s64 count) {
    for (const fault_range& r : ranges)
        if (pos < r.end && pos + count > r.start) return &r;
    return nullptr;
}

// Rewrites the chosen bytes of what was just written at `pos`, inverted. A
// direct descriptor takes a whole unit around the byte, built from `data`.
void corrupt_written(int fd, const char* data, s64 pos, u32 count) {
    for (s64 at : faults().corrupt) {
        if (at < pos || at >= pos + count) continue;
        const int fl = fcntl(fd, F_GETFL);
        if (fl >= 0 && (fl & O_DIRECT)) {
            alignas(4096) char unit[4096];
            for (s64 size : {s64{4096}, s64{512}}) {
                const s64 from = at & ~(size - 1);
                if (from < pos || from + size > pos + count) continue;
                std::memcpy(unit, data + (from - pos), static_cast<size_t>(size));
                unit[at - from] = static_cast<char>(unit[at - from] ^ 0xFF);
                if (pwrite(fd, unit, static_cast<size_t>(size), from) == size) break;
            }
        } else {
            const char inverted = static_cast<char>(data[at - pos] ^ 0xFF);
            if (pwrite(fd, &inverted, 1, at) != 1) continue;
        }
    }
}

struct read_counter {
    const char* path = std::getenv("ZEF_COUNT_READS");
    std::atomic<u64> bytes{0};
    ~read_counter() {
        if (!path) return;
        if (FILE* f = std::fopen(path, "we")) {
            std::fprintf(f, "%llu\n", static_cast<unsigned long long>(bytes.load()));
            std::fclose(f);
        }
    }
} reads_counted;

int fd_of(handle h) { return static_cast<int>(h); }

bool valid_slot(int fd) { return fd >= 0 && fd < max_fd; }

bool is_block_device(int fd, dev_t* rdev = nullptr) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    if (rdev) *rdev = st.st_rdev;
    return true;
}

// Mount points whose device is `dev`, or, with `with_partitions`, a
// partition of the disk `dev`.
std::vector<std::string> mounts_of(dev_t dev, bool with_partitions) {
    std::vector<std::string> out;
    FILE* f = std::fopen("/proc/self/mountinfo", "re");
    if (!f) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        unsigned id, parent, ma, mi;
        char root[1024], point[1024];
        if (std::sscanf(line, "%u %u %u:%u %1023s %1023s", &id, &parent, &ma, &mi, root, point) != 6)
            continue;
        dev_t d = makedev(ma, mi);
        bool match = d == dev;
        if (!match && with_partitions) {
            // A partition's sysfs folder sits inside its disk's folder.
            char link[128];
            std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u/../dev", ma, mi);
            unsigned pma, pmi;
            if (FILE* p = std::fopen(link, "re")) {
                if (std::fscanf(p, "%u:%u", &pma, &pmi) == 2) match = makedev(pma, pmi) == dev;
                std::fclose(p);
            }
        }
        if (!match) continue;
        std::string unescaped;  // mountinfo escapes blanks and such as \ooo
        for (const char* c = point; *c; ++c) {
            if (c[0] == '\\' && c[1] >= '0' && c[1] <= '7' && c[2] && c[3]) {
                unescaped += static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
                c += 3;
            } else {
                unescaped += *c;
            }
        }
        out.push_back(unescaped);
    }
    std::fclose(f);
    return out;
}

// Unmounts, deepest mount first. 0, or the first failure.
u32 unmount_all(const std::vector<std::string>& points) {
    u32 result = 0;
    for (auto it = points.rbegin(); it != points.rend(); ++it)
        if (umount2(it->c_str(), 0) != 0 && result == 0) result = fail(errno);
    return result;
}

int exclusive_open(int fd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return ::open(path, O_RDONLY | O_EXCL | O_CLOEXEC);
}

}  // namespace

namespace posix {

// Data handle of standard output once the process's own standard output has
// been pointed at standard error.
namespace {
int saved_stdout = -1;
bool saved_claimed = false;
}  // namespace

void redirect_stdout() {
    if (saved_stdout >= 0) return;
    std::fflush(stdout);
    saved_stdout = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (saved_stdout < 0) return;
    dup2(2, 1);
}

int take_stdout_data() {
    if (saved_stdout < 0) redirect_stdout();
    if (saved_stdout >= 0 && !saved_claimed) {
        saved_claimed = true;
        return saved_stdout;
    }
    return fcntl(1, F_DUPFD_CLOEXEC, 3);
}

}  // namespace posix

handle take_std_handle(bool for_write) {
    if (std_stream_closed(for_write ? 1 : 0)) return invalid_handle;  // the null device stands in
    if (for_write) {
        if (fcntl(1, F_GETFD) < 0) return invalid_handle;
        int fd = posix::take_stdout_data();
        return fd < 0 ? invalid_handle : fd;
    }
    return fcntl(0, F_GETFD) < 0 ? invalid_handle : 0;
}

u32 open(const char* path, u32 access, u32 disposition, u32 flags, handle& h, bool& existed) {
    h = invalid_handle;
    existed = false;
    const bool want_write = (access & (generic_write | generic_all)) != 0;
    const bool want_read = (access & (generic_read | generic_all)) != 0 || !want_write;
    int base = O_CLOEXEC | (want_read && want_write ? O_RDWR : want_write ? O_WRONLY : O_RDONLY);
    if (flags & flag_no_buffering) base |= O_DIRECT;

    auto attempt = [&](int oflags) {
        int fd = ::open(path, oflags, 0666);
        if (fd < 0 && errno == EINVAL && (oflags & O_DIRECT))  // no direct I/O here
            fd = ::open(path, oflags & ~O_DIRECT, 0666);
        return fd;
    };

    int fd = -1;
    if (disposition == create_always || disposition == open_always) {
        fd = attempt(base | O_CREAT | O_EXCL);
        if (fd < 0 && errno == EEXIST) {
            existed = true;
            fd = attempt(base | (disposition == create_always ? O_TRUNC : 0));
            if (fd < 0 && errno == ENOENT) {
                // A symbolic link to nothing: create the file it names.
                existed = false;
                fd = attempt(base | O_CREAT);
            }
        }
    } else {
        fd = attempt(base);
    }
    // A device or file held exclusively by another: a sharing violation.
    if (fd < 0) return fail(errno, io_side::open);

    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fail(EISDIR);
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const fault_set& f = faults();
    if (valid_slot(fd))
        faulty[fd].store((!f.read.empty() || !f.write.empty() || !f.corrupt.empty()) &&
                         (f.any_path || f.path == path));
    h = fd;
    return 0;
}

u32 identity(handle h, file_identity& id) {
    id = file_identity{};
    struct stat st;
    if (fstat(fd_of(h), &st) != 0) return fail(errno);
    // Two nodes of one device share its number; a partition's sysfs folder
    // sits inside its disk's folder.
    auto whole_disk = [](dev_t dev) -> u64 {
        char path[96];
        std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/partition", major(dev), minor(dev));
        if (access(path, F_OK) != 0) return 0;
        std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../dev", major(dev), minor(dev));
        unsigned ma = 0, mi = 0;
        FILE* p = std::fopen(path, "re");
        if (!p) return 0;
        const bool read = std::fscanf(p, "%u:%u", &ma, &mi) == 2;
        std::fclose(p);
        return read ? makedev(ma, mi) : 0;
    };
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        id.known = true;
        id.volume = st.st_dev;
        id.index = st.st_ino;
        id.container = whole_disk(st.st_dev);
    } else if (S_ISBLK(st.st_mode)) {
        id.known = true;
        id.volume = device_volume;
        id.index = st.st_rdev;
        id.container = whole_disk(st.st_rdev);
        // A loop device's bytes are those of its backing file.
        struct loop_info64 info {};
        if (ioctl(fd_of(h), LOOP_GET_STATUS64, &info) == 0) {
            id.backing_volume = info.lo_device;
            id.backing_index = info.lo_inode;
        }
    }
    return 0;
}

u32 remove_file(const char* path) {
    // Only a regular file itself; a link keeps pointing where it did.
    struct stat st;
    if (lstat(path, &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(EINVAL);
    return ::unlink(path) == 0 ? 0 : fail(errno);
}

void close(handle h) {
    int fd = fd_of(h);
    if (fd < 0) return;
    if (valid_slot(fd)) {
        if (lock_fd[fd] >= 0) ::close(lock_fd[fd]);
        if (offline_fd[fd] >= 0) ::close(offline_fd[fd]);
        lock_fd[fd] = offline_fd[fd] = -1;
        lock_pending[fd] = false;
        faulty[fd].store(false);
    }
    ::close(fd);
}

u32 read(handle h, void* buffer, u32 count, u32& done) {
    done = 0;
    int fd = fd_of(h);
    if (valid_slot(fd) && faulty[fd].load(std::memory_order_relaxed)) {
        s64 pos = lseek(fd, 0, SEEK_CUR);
        if (const fault_range* r = fault_at(faults().read, pos, count)) return fail(r->e, io_side::read);
    }
    for (;;) {
        ssize_t n = ::read(fd, buffer, count);
        if (n >= 0) {
            done = static_cast<u32>(n);
            if (reads_counted.path) reads_counted.bytes.fetch_add(done, std::memory_order_relaxed);
            return 0;
        }
        if (errno != EINTR || posix::io_aborted.load(std::memory_order_acquire)) return fail(errno, io_side::read);
    }
}

u32 write(handle h, const void* buffer, u32 count, u32& done) {
    done = 0;
    int fd = fd_of(h);
    u32 limit = count;
    const fault_range* fault = nullptr;
    s64 pos = -1;
    if (valid_slot(fd) && faulty[fd].load(std::memory_order_relaxed)) {
        pos = lseek(fd, 0, SEEK_CUR);
        fault = fault_at(faults().write, pos, count);
        if (fault) limit = fault->start > pos ? static_cast<u32>(fault->start - pos) : 0;
    }
    const char* p = static_cast<const char*>(buffer);
    while (done < limit) {
        ssize_t n = ::write(fd, p + done, limit - done);
        if (n > 0) {
            done += static_cast<u32>(n);
            // A write cut short by the interruption: the rest is given up.
            if (done < limit && posix::io_aborted.load(std::memory_order_acquire)) return fail(EINTR, io_side::write);
        } else if (n < 0 && errno == EINTR && !posix::io_aborted.load(std::memory_order_acquire)) {
            continue;
        } else {
            return fail(n < 0 ? errno : ENOSPC, io_side::write);
        }
    }
    if (pos >= 0) corrupt_written(fd, p, pos, done);
    if (fault) return fail(fault->e, io_side::write);
    return 0;
}

u32 seek(handle h, s64 distance, u32 method, s64& position) {
    int whence = method == file_begin ? SEEK_SET : method == file_current ? SEEK_CUR : SEEK_END;
    if (method > file_end) return fail(EINVAL);
    off_t r = lseek(fd_of(h), distance, whence);
    if (r < 0) return fail(errno);
    position = r;
    return 0;
}

u32 set_eof(handle h) {
    int fd = fd_of(h);
    off_t pos = lseek(fd, 0, SEEK_CUR);
    if (pos < 0) return fail(errno);
    if (ftruncate(fd, pos) != 0) return fail(errno, io_side::write);
    return 0;
}

u32 file_size(handle h, s64& size) {
    struct stat st;
    if (fstat(fd_of(h), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(ENOTTY);
    size = st.st_size;
    return 0;
}

u32 flush(handle h) {
    if (fsync(fd_of(h)) != 0) return fail(errno, io_side::write);
    return 0;
}

u32 reopen(handle h, handle& second) {
    second = invalid_handle;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd_of(h));
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    if (valid_slot(fd) && valid_slot(fd_of(h))) faulty[fd].store(faulty[fd_of(h)].load());
    second = fd;
    return 0;
}

u32 disk_length(handle h, s64& length) {
    u64 bytes = 0;
    if (ioctl(fd_of(h), BLKGETSIZE64, &bytes) != 0) return fail(errno);
    length = static_cast<s64>(bytes);
    return 0;
}

u32 allow_extended_io(handle h) {
    // Linux lets a block device be read to its last byte already.
    return is_block_device(fd_of(h)) ? 0 : fail(ENOTTY);
}

u32 lock_volume(handle h) {
    int fd = fd_of(h);
    if (!valid_slot(fd) || !is_block_device(fd)) return fail(ENOTTY);
    if (lock_fd[fd] >= 0) return 0;
    int held = exclusive_open(fd);
    if (held < 0) {
        // Mounted: the hold is taken once the dismount has succeeded.
        lock_pending[fd] = errno == EBUSY;
        return fail(errno);
    }
    lock_fd[fd] = held;
    return 0;
}

u32 dismount_volume(handle h) {
    int fd = fd_of(h);
    dev_t dev;
    if (!valid_slot(fd) || !is_block_device(fd, &dev)) return fail(ENOTTY);
    u32 result = unmount_all(mounts_of(dev, false));
    if (result == 0 && lock_pending[fd] && lock_fd[fd] < 0) {
        int held = exclusive_open(fd);
        if (held >= 0) lock_fd[fd] = held;
        lock_pending[fd] = false;
    }
    return result;
}

u32 unlock_volume(handle h) {
    int fd = fd_of(h);
    if (!valid_slot(fd) || !is_block_device(fd)) return fail(ENOTTY);
    lock_pending[fd] = false;
    if (lock_fd[fd] < 0) return fail(EINVAL);  // not locked
    ::close(lock_fd[fd]);
    lock_fd[fd] = -1;
    return 0;
}

u32 set_disk_offline(handle h, bool offline) {
    int fd = fd_of(h);
    dev_t dev;
    if (!valid_slot(fd) || !is_block_device(fd, &dev)) return fail(ENOTTY);
    if (!offline) {
        if (offline_fd[fd] >= 0) ::close(offline_fd[fd]);
        offline_fd[fd] = -1;
        return 0;
    }
    if (offline_fd[fd] >= 0) return 0;
    if (u32 r = unmount_all(mounts_of(dev, true)); r != 0) return r;
    if (lock_fd[fd] >= 0) return 0;  // held already by the volume lock
    int held = exclusive_open(fd);
    if (held < 0) return fail(errno);
    offline_fd[fd] = held;
    return 0;
}

u32 update_disk_properties(handle h) {
    if (ioctl(fd_of(h), BLKRRPART) != 0) return fail(errno);
    return 0;
}

}  // namespace os
