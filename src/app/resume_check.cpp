// Before a verified copy resumes: the bytes already in the target against
// the source's first bytes, both read through their direct handles at once.
// The copy goes on from the first 4096-byte unit that differs, so that it
// ends equal to the source from its first byte.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/G_APP.h"
#include "pipeline/G_PIPELINE.h"

namespace {

constexpr u64 unit = 4096;

// Reads until `count` bytes are in or the input ends; -1 on a failure.
s64 read_whole(G_FILE& file, u8* data, u32 count) {
    u32 filled = 0;
    while (filled < count) {
        const s64 n = file.read(data + filled, count - filled);
        if (n < 0) return -1;
        if (n == 0) break;
        filled += static_cast<u32>(n);
    }
    return filled;
}

struct piece_read {
    G_FILE* file;
    u8* data;
    u32 count;
    s64 got;
};

u32 th_piece_read(void* p) {
    auto* job = static_cast<piece_read*>(p);
    job->got = read_whole(*job->file, job->data, job->count);
    return 0;
}

// One difference block on standard error and, as UTF-16LE, in the log.
void list_block(G_FILE& log, const char* block, int length) {
    std::fwrite(block, 1, static_cast<size_t>(length), stderr);
    if (!log.is_open) return;
    char wide[2 * 128];
    int n = 0;
    for (int i = 0; i < length && n + 2 <= static_cast<int>(sizeof wide); ++i) {
        wide[n++] = block[i];
        wide[n++] = 0;
    }
    log.write(wide, static_cast<u32>(n));
}

}  // namespace

u32 G_APP::check_resumed_prefix() {
    if (!opt_verify || !opt_resume || !pipeline2 || !pipeline2->is_writer) return 0;
    const s64 resume_at = pipeline2->start_position;
    if (resume_at <= 0) return 0;

    // Two buffers from the ring's block, which no thread uses yet.
    const u64 piece = std::min<u64>(memory.size / 2, u64{16} << 20) & ~(unit - 1);
    if (piece == 0) return os::err::not_enough_memory;
    u8* const source = buffer;
    u8* const target = buffer + piece;

    if (hFileIn1.seek(0, os::file_begin) < 0) {
        print_error(stderr, "hFileIn1.seek(0, FILE_BEGIN)", hFileIn1.error_r);
        return hFileIn1.error_r;
    }
    if (hFileVerify.seek(0, os::file_begin) < 0) {
        print_error(stderr, "hFileVerify.seek(0, FILE_BEGIN)", hFileVerify.error_r);
        return hFileVerify.error_r;
    }

    s64 at = 0;
    s64 resume = resume_at;
    while (at < resume_at) {
        if (ctrl_c_typed.load()) return 0xFFFFFFFFu;
        const u32 count = static_cast<u32>(std::min<u64>(piece, static_cast<u64>(resume_at - at)));
        piece_read job{&hFileIn1, source, count, -1};
        os::thread reader{};
        const bool parallel = os::create_thread(reader, th_piece_read, &job, 65536) == 0;
        const s64 got = read_whole(hFileVerify, target, count);
        if (parallel) {
            os::join_thread(reader);
            os::close_thread(reader);
        } else {
            th_piece_read(&job);
        }
        if (job.got < 0) {
            print_error(stderr, "\nhFileIn1.read()", hFileIn1.error_r);
            return hFileIn1.error_r;
        }
        if (got < 0) {
            print_error(stderr, "\nhFileVerify.read()", hFileVerify.error_r);
            return hFileVerify.error_r;
        }
        if (job.got < count || got < count) {
            const s64 end = at + std::min(job.got, got);
            std::fprintf(stderr, "\n!! cannot resume at %lld: [%s] ends at %lld\n", static_cast<long long>(resume_at),
                         job.got < count ? file_name[1] : file_name[2], static_cast<long long>(end));
            return os::err::invalid_parameter;
        }
        if (std::memcmp(source, target, count) != 0) {
            u64 first = 0;
            while (source[first] == target[first]) ++first;
            const u64 from = first & ~(unit - 1);
            const u64 to = std::min<u64>(from + unit, count);
            std::fputs("\n", stderr);
            char block[512];
            for (u64 w = from; w < to; w += 8) {
                const u64 n = std::min<u64>(8, to - w);
                if (std::memcmp(source + w, target + w, n) == 0) continue;
                const int length = format_difference(block, sizeof block, static_cast<u64>(at) + w, source + w,
                                                     target + w, n);
                list_block(hFileLog, block, length);
            }
            resume = at + static_cast<s64>(from);
            std::fprintf(stderr, "!! [%s] differs from [%s] in its first %lld bytes: the copy resumes at %lld\n",
                         file_name[2], file_name[1], static_cast<long long>(resume_at), static_cast<long long>(resume));
            break;
        }
        at += count;
    }

    if (hFileIn1.seek(resume, os::file_begin) < 0) {
        print_error(stderr, "hFileIn1.seek(position, FILE_BEGIN)", hFileIn1.error_r);
        return hFileIn1.error_r;
    }
    if (hFileOut.seek(resume, os::file_begin) < 0) {
        print_error(stderr, "hFileOut.seek(position, FILE_BEGIN)", hFileOut.error_r);
        return hFileOut.error_r;
    }
    pipeline1->start_position = resume;
    pipeline2->start_position = resume;
    prefix_verified = static_cast<u64>(resume);
    return 0;
}
