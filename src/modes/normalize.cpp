// Peak normalization of raw 16-bit audio.
//
// An input that fits the block is read whole, measured, scaled in place and
// written back in whole chunks. A larger one is measured in a first pass
// and, when it can be read again, scaled and written chunk by chunk in a
// second. A larger input that cannot be read twice (a pipe) is refused:
// nothing of it is written. The output is cut to the exact length through a
// buffered handle at the end.
#include <cstdio>

#include "app/G_APP.h"
#include "modes/modes.h"
#include "os/thread.h"

namespace {

s32 sample_at(const u8* p, u64 i) {
    return static_cast<s16>(static_cast<u16>(p[2 * i] | (p[2 * i + 1] << 8)));
}

void store_sample(u8* p, u64 i, s32 value) {
    const u16 v = static_cast<u16>(value);
    p[2 * i] = static_cast<u8>(v);
    p[2 * i + 1] = static_cast<u8>(v >> 8);
}

void marker(const G_APP& app, const char* phase) {
    if (!app.opt_quiet) std::fprintf(stderr, "%s %s\r", phase, app.file_name[1]);
}

void read_failed(G_APP& app) {
    app.status = app.hFileIn1.error_r;
    app.last_read = -1;
    print_error(stderr, "hFileIn1.read()", app.hFileIn1.error_r);
}

// Reads until `want` bytes are at `into` or the input ends: the pieces of a
// stream become whole chunks. Bytes read, or -1 after a failure.
s64 read_chunk(G_APP& app, u8* into, u64 want, u32 request) {
    u64 got = 0;
    while (got < want) {
        s64 n = app.hFileIn1.read(into + got, static_cast<u32>(request - got));
        if (n < 0) {
            read_failed(app);
            return got ? static_cast<s64>(got) : -1;
        }
        app.last_read = n;
        if (n == 0) break;
        got += static_cast<u64>(n);
    }
    return static_cast<s64>(got < want ? got : want);
}

// The whole input at once. False when it did not fit: the block holds the
// `rbLength` bytes read so far.
bool read_whole(G_APP& app, u8* block_end, u64 chunk) {
    app.rbLength = 0;
    app.last_read = 1;
    u8* fill = app.norm_buffer;
    for (;;) {
        if (fill + chunk > block_end) return false;
        s64 n = app.hFileIn1.read(fill, static_cast<u32>(chunk));
        if (n < 0) {
            read_failed(app);
            return true;
        }
        app.rbLength += static_cast<u64>(n);
        fill += n;
        app.last_read = n;
        if (n == 0) return true;
    }
}

// Bytes of a write of `count` data bytes: a whole chunk for a file or device
// (cut to the exact length at the end), exactly the data for a standard
// stream, which is never cut.
u32 write_size(const G_APP& app, u64 count, u64 chunk) {
    return static_cast<u32>(app.hFileOut.is_std_stream ? count : chunk);
}

void write_whole(G_APP& app, u64 chunk) {
    const u8* end = app.norm_buffer + app.rbLength;
    for (const u8* p = app.norm_buffer; p < end; p += chunk) {
        const u64 rest = static_cast<u64>(end - p);
        if (app.hFileOut.write(p, write_size(app, rest < chunk ? rest : chunk, chunk)) < 0) {
            app.status = app.hFileOut.error_w;
            app.last_write = -1;
            print_error(stderr, "hFileOut.write()", app.hFileOut.error_w);
            return;
        }
        app.last_write = static_cast<s64>(chunk);
    }
}

// First pass: the peak of the whole input. The `rbLength` bytes already in
// the block are its start; the rest is read a chunk at a time behind the
// block's first chunk, where a sample cut by an odd count is put together.
u32 measure_in_pieces(G_APP& app, u64 chunk) {
    peak_tracker peaks;
    u8* const area = app.norm_buffer + chunk;
    peaks.add(peak_from_end(app.norm_buffer, app.rbLength / 2));
    u64 carry = app.rbLength & 1;
    if (carry) area[-1] = app.norm_buffer[app.rbLength - 1];
    while (app.last_read > 0) {
        s64 n = read_chunk(app, area, chunk, static_cast<u32>(chunk));
        if (n <= 0) break;
        app.rbLength += static_cast<u64>(n);
        const u8* start = area - carry;
        const u64 bytes = static_cast<u64>(n) + carry;
        peaks.add(peak_from_end(start, bytes / 2));
        carry = bytes & 1;
        if (carry) area[-1] = start[bytes - 1];
        if (app.last_read < 0) break;
    }
    return peaks.value();
}

// Second pass: the first `rbLength` bytes again from `start`, scaled and
// written a whole chunk at a time. Every chunk but the last is full, so
// chunks begin on sample boundaries. False when the input could not be
// positioned at its start again: nothing was written.
bool scale_in_pieces(G_APP& app, s64 start, u64 chunk, s32 gain) {
    if (app.hFileIn1.seek(start, os::file_begin) < 0) {
        app.status = app.hFileIn1.error_r;
        print_error(stderr, "\n!! hFileIn1.seek(0, FILE_BEGIN)", app.hFileIn1.error_r);
        return false;
    }
    for (u64 done = 0; done < app.rbLength;) {
        const u64 rest = app.rbLength - done;
        s64 n = read_chunk(app, app.norm_buffer, rest < chunk ? rest : chunk, static_cast<u32>(chunk));
        if (n <= 0) {
            if (n == 0) {
                // The input became shorter between the passes.
                app.status = os::err::invalid_parameter;
                std::fprintf(stderr, "\n!! %s ended at %llu bytes in the second pass\n", app.file_name[1],
                             static_cast<unsigned long long>(done));
            }
            return true;
        }
        if (gain) scale_samples(app.norm_buffer, static_cast<u64>(n) / 2, gain);
        if (app.hFileOut.write(app.norm_buffer, write_size(app, static_cast<u64>(n), chunk)) < 0) {
            app.status = app.hFileOut.error_w;
            app.last_write = -1;
            print_error(stderr, "hFileOut.write()", app.hFileOut.error_w);
            return true;
        }
        app.last_write = static_cast<s64>(chunk);
        done += static_cast<u64>(n);
        if (app.last_read < 0) return true;
    }
    return true;
}

// Cuts the output to the exact length through a buffered handle.
void cut_to_length(G_APP& app, u64 length) {
    G_FILE& out = app.hFileOut;
    out.close();
    out.open(app.file_name[2], os::generic_write, os::open_existing, 0);
    if (!out.is_open) {
        app.status = out.error_r;
        return;
    }
    if (out.seek(static_cast<s64>(length), os::file_begin) < 0 && out.error_r != 0) {
        app.status = out.error_r;
        print_error(stderr, "\n!! hFileOut.seek(rbLength, FILE_BEGIN)", out.error_r);
    }
    if (out.set_eof() != 0) {
        app.status = out.error_w;
        print_error(stderr, "\n!! hFileOut.set_eof()", out.error_w);
    }
}

}  // namespace

u32 peak_from_end(const u8* samples, u64 count) {
    u32 peak = 0;
    for (u64 i = count; i-- > 0;) {
        const s32 s = sample_at(samples, i);
        const u32 magnitude = static_cast<u32>(s < 0 ? -s : s);
        if (magnitude > peak) {
            peak = magnitude;
            if (peak >= 32767) break;
        }
    }
    return peak;
}

s32 normalization_gain(u32 peak) {
    if (peak <= norm_target_peak) return 0;
    return static_cast<s32>(0x70000000) / static_cast<s32>(peak);
}

void scale_samples(u8* samples, u64 count, s32 gain) {
    // |s| <= 32768 and gain <= 65533: the product stays within 32 bits.
    for (u64 i = count; i-- > 0;) store_sample(samples, i, (sample_at(samples, i) * gain) >> 16);
}

u32 G_APP::normalize() {
    os::set_current_thread_priority(1);
    const u64 chunk = 2 * page_size;
    status = 0;
    peak_level[0] = 0;
    time_start_ms = now_ms();
    marker(*this, "[r   ]");

    u8* const block_end = static_cast<u8*>(memory.address) + memory.size;
    const u64 block_bytes = static_cast<u64>(block_end - norm_buffer);
    const s64 start = hFileIn1.get_file_pointer();  // -1: a stream, readable once
    const s64 size = hFileIn1.get_size();           // 0: not known
    const u64 remaining = size > start && start >= 0 ? static_cast<u64>(size - start) : 0;

    bool in_pieces = remaining + chunk > block_bytes;
    if (in_pieces) {
        rbLength = 0;
        last_read = 1;
    } else {
        in_pieces = !read_whole(*this, block_end, chunk);
    }

    u64 out_length = 0;
    if (!in_pieces) {
        marker(*this, "[rs  ]");
        peak_level[0] = peak_from_end(norm_buffer, rbLength / 2);
        marker(*this, "[rsn ]");
        if (const s32 gain = normalization_gain(peak_level[0])) scale_samples(norm_buffer, rbLength / 2, gain);
        marker(*this, "[rsnw]");
        write_whole(*this, chunk);
        out_length = rbLength;
    } else {
        peak_level[0] = measure_in_pieces(*this, chunk);
        marker(*this, "[rs  ]");
        if (start < 0) {
            if (status == 0) status = os::err::not_enough_memory;
            std::fprintf(stderr,
                         "\n!! %s: %llu bytes are more than the buffer holds (%llu), and the input cannot be "
                         "read twice: nothing written\n",
                         file_name[1], static_cast<unsigned long long>(rbLength),
                         static_cast<unsigned long long>(block_bytes - chunk));
        } else {
            const s32 gain = normalization_gain(peak_level[0]);
            marker(*this, "[rsn ]");
            marker(*this, "[rsnw]");
            if (scale_in_pieces(*this, start, chunk, gain)) out_length = rbLength;
        }
    }

    // The last chunk carried bytes beyond the data. A standard stream got
    // the exact bytes and is never reopened or cut.
    if (!hFileOut.is_std_stream) cut_to_length(*this, out_length);

    std::fprintf(stderr, "%7.3f%% %s\n", peak_level[0] / 327.68, file_name[1]);

    if (opt_verbose) {
        time_now_ms = now_ms();
        time_elapsed_ms = time_now_ms - time_start_ms;
        if (time_now_ms - time_print_ms >= 100) {
            std::fputs("[", stderr);
            print_elapsed(static_cast<u64>(time_elapsed_ms));
            std::fputs("] ", stderr);
        }
    }

    os::set_current_thread_priority(0);
    return status;
}
