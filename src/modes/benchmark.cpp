// The write benchmark: one block of page_size bytes written to the target
// over and over until Ctrl+C or a failed write (the end of a device, a full
// volume), with the megabytes and the average speed about ten times a
// second.
#include <cstdio>
#include <cstring>

#include "app/G_APP.h"

namespace {

u64 bench_mb(u64 page_size, u64 blocks) { return ((page_size >> 9) * blocks) >> 11; }

void print_bench_line(const G_APP& app) {
    const u64 mb = bench_mb(app.page_size, app.bench_blocks);
    const u64 elapsed = static_cast<u64>(app.time_elapsed_ms);
    const u64 speed = elapsed ? mb * 1000 / elapsed : 0;
    std::fprintf(stderr, "\r[%6llu][%3llu MB/s] ", static_cast<unsigned long long>(mb),
                 static_cast<unsigned long long>(speed));
    print_elapsed(static_cast<u64>(now_ms() - app.time_start_ms));
}

}  // namespace

u32 G_APP::run_benchmark() {
    // Every write sends page_size bytes from the block: it must hold them.
    const size_t unit = memory.large_page_size ? memory.large_page_size : 0x200000;
    size_t units = static_cast<size_t>((page_size + unit - 1) / unit);
    if (units == 0) units = 1;
    if (memory.alloc(units) != 0) return 0xFFFFFFFFu;
    buffer = static_cast<u8*>(memory.address);
    cut_outputs();
    if (run_failed) {
        hFileLog.close();
        buffer = nullptr;
        memory.release();
        return 0xFFFFFFFFu;
    }
    // The block is zeros when it was locked; make it so in every case.
    std::memset(buffer, opt_bench_ff ? 0xFF : 0x00, page_size);

    std::fprintf(stderr, "OK\n\n[    MB][ average] benchmark write [%s]. Type CTRL+C to exit!\n", file_name[0]);

    time_start_ms = now_ms();
    bench_blocks = 0;
    bench_last_write = 1;
    const u32 count = static_cast<u32>(page_size);
    do {
        if (hFileLog.write(buffer, count) < 0) {
            bench_last_write = -1;
            print_error(stderr, "\thFileLog.write()", hFileLog.error_w);
            break;
        }
        bench_last_write = static_cast<s64>(page_size);
        if (ctrl_c_typed.load()) break;
        time_now_ms = now_ms();
        time_elapsed_ms = time_now_ms - time_start_ms;
        if (time_elapsed_ms != 0 && time_now_ms - time_print_ms >= 100) {
            time_print_ms = time_now_ms;
            print_bench_line(*this);
        }
        ++bench_blocks;
    } while (bench_last_write != 0);

    time_now_ms = now_ms();
    time_elapsed_ms = time_now_ms - time_start_ms;
    print_bench_line(*this);

    if (opt_lock) hFileLog.unlock();
    if (opt_offline && !opt_keep_offline) hFileLog.set_offline(0);
    hFileLog.close();
    buffer = nullptr;
    memory.release();
    std::fputs("\n", stderr);
    return 0xFFFFFFFFu;
}
