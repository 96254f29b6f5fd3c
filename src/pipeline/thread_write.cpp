// The writing thread: takes each slot the reader publishes, in order, and
// writes it at the target's current position.
#include <cstdio>
#include <cstring>

#include "app/report.h"
#include "io/G_FILE.h"
#include "pipeline/G_PIPELINE.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;

bool reopen_refusal(u32 code) {
    return code == os::err::access_denied || code == os::err::invalid_handle ||
           code == os::err::sharing_violation || code == os::err::pipe_busy;
}
}  // namespace

u32 G_PIPELINE::thread_write() {
    G_PIPELINE* const src = p_peer;
    alignas(4096) u8 read_tmp[4096];

    s64 ignored = 0;
    const bool regular = !stream_target && os::file_size(h_file->handle, ignored) == 0;
    file_size = bytes_left = stream_target ? 0 : h_file->get_size();
    // An existing file that is appended to has no capacity; only devices do.
    if (regular) file_size = bytes_left = 0;
    if (file_size != 0 && start_position > 0) bytes_left = start_position < file_size ? file_size - start_position : 0;
    // A pipe, console or standard output takes every byte through its own
    // handle, in order.
    const bool stream = stream_target || (!regular && file_size == 0);

    // A file appended at a length that is not a whole unit cannot take
    // direct writes there: it is written through a buffered handle.
    G_FILE* out = h_file;
    bool whole_slots = stream || page_size < 4096;
    if (regular && (start_position & 4095) != 0 && h_file_unaligned) {
        h_file->reopen(*h_file_unaligned);
        if (h_file_unaligned->is_open && h_file_unaligned->seek(start_position, os::file_begin) >= 0) {
            out = h_file_unaligned;
            whole_slots = true;
        }
    }

    p_read_count[0].store(static_cast<s64>(page_size), rel);
    last_count = 0;
    bool tail_on_main = false;
    const int id = src->write_consumer;
    os::set_current_thread_priority(1);

    auto fail_both = [&](u32 code, const char* text) {
        if (!ctrl_c_typed.load(acq)) print_error(stderr, text, code);  // an interrupted write says nothing
        stop(code);
    };
    // The target has no room for what is left: said, and the run ends, so
    // that nothing more of the source is read for a copy that cannot finish.
    auto out_of_space = [&](u64 left, u64 needed) {
        std::fprintf(stderr, "\n{%llu < %llu} Not enough space left on disk, partition or volume!",
                     static_cast<unsigned long long>(left), static_cast<unsigned long long>(needed));
        copy_short = true;
        stop(os::err::disk_full);
    };

    for (;;) {
        if (stopped()) break;
        const u64 nc = src->consumers[id].passed.load(std::memory_order_relaxed);
        const u64 ip = nc & buffers_mask;
        // The wait is kept under the bench switch too: what is written is
        // always what was read.
        while (src->n_read.load(acq) == nc && !src->done.load(acq)) {
            if (stopped()) goto end;
            h_event_read.wait();
        }
        if (stopped()) break;
        if (src->n_read.load(acq) == nc) break;  // the reader ended without an end mark
        if (src->p_read_count[ip].load(acq) == 0) break;  // the end mark: the copy is whole
        if (file_size != 0 && bytes_left <= 0) {
            out_of_space(0, static_cast<u64>(src->p_read_count[ip].load(acq)));
            break;
        }

        {
            u64 count = static_cast<u64>(src->p_read_count[ip].load(acq));
            u64 offset = 0;
            u64 tail = 0;
            if (!whole_slots) {
                tail = count & 0xFFF;
                count -= tail;
            }
            u64 beyond = 0;  // whole units past the capacity
            if (file_size != 0 && count > static_cast<u64>(bytes_left)) {
                beyond = count - static_cast<u64>(bytes_left);
                count = static_cast<u64>(bytes_left);
            }
            while (count > 0) {
                const u64 n = count < write_chunk ? count : write_chunk;
                s64 r = out->write(pp_DATA[ip] + offset, static_cast<u32>(n));
                p_read_count[ip].store(r, rel);
                if (r < 0) {
                    p_read_count[ip].store(0, rel);
                    fail_both(out->error_w, "h_file->write()");
                    goto end;
                }
                count -= n;
                offset += n;
                if (file_size != 0) bytes_left -= static_cast<s64>(n);
            }

            if (beyond != 0) {
                out_of_space(0, beyond + tail);
                goto end;
            }
            if (tail != 0) {
                if (file_size != 0 && static_cast<u64>(bytes_left) < tail) {
                    out_of_space(static_cast<u64>(bytes_left), tail);
                    goto end;
                } else if (file_size != 0) {
                    // A device: read, patch and rewrite the unit under the tail,
                    // or what the device has left of it (whole sectors) at its end.
                    const u32 rmw = bytes_left < 4096 ? static_cast<u32>(bytes_left) : 4096;
                    std::memset(read_tmp, 0, sizeof read_tmp);
                    s64 got = h_file->read(read_tmp, rmw);
                    if (got < 0) {
                        fail_both(h_file->error_r, "h_file->read(read_tmp)");
                        goto end;
                    }
                    if (h_file->seek(-got, os::file_current) < 0 && h_file->error_r != 0) {
                        fail_both(h_file->error_r, "\n!! h_file->seek()");
                        goto end;
                    }
                    std::memcpy(read_tmp, pp_DATA[ip] + offset, tail);
                    if (h_file->write(read_tmp, rmw) < 0) {
                        p_read_count[ip].store(0, rel);
                        fail_both(h_file->error_w, "h_file->write(write_unaligned)");
                        goto end;
                    }
                    p_read_count[ip].store(rmw, rel);
                    offset += rmw;
                } else {
                    // A file: the tail through a second, buffered handle.
                    std::memset(read_tmp, 0, sizeof read_tmp);
                    std::memcpy(read_tmp, pp_DATA[ip] + offset, tail);
                    G_FILE* t = h_file_unaligned;
                    if (t && !tail_on_main && !t->is_open) h_file->reopen(*t);
                    if (!t || (!tail_on_main && !t->is_open)) {
                        const u32 code = t ? t->error_r : os::err::invalid_handle;
                        if (!reopen_refusal(code)) {
                            fail_both(code, "h_file->reopen(0*FILE_FLAG_NO_BUFFERING)");
                            goto end;
                        }
                        tail_on_main = true;
                    }
                    if (tail_on_main) t = h_file;
                    const s64 position = h_file->get_file_pointer();
                    if (position == -1) {
                        fail_both(h_file->error_r, "h_file->get_file_pointer()");
                        goto end;
                    }
                    if (t != h_file && t->seek(position, os::file_begin) < 0 && t->error_r != 0) {
                        fail_both(t->error_r, "h_file_unaligned->seek(file_position, FILE_BEGIN)");
                        goto end;
                    }
                    s64 r = t->write(read_tmp, static_cast<u32>(tail));
                    p_read_count[ip].store(r, rel);
                    if (r < 0) {
                        // A whole unit instead, cut back to the tail's end.
                        if (t->write(read_tmp, 4096) < 0) {
                            p_read_count[ip].store(0, rel);
                            if (tail_on_main)
                                print_error(stderr, "h_file_unaligned->write((char *)read_tmp)", os::err::access_denied);
                            fail_both(t->error_w, "h_file->write(write_unaligned)");
                            goto end;
                        }
                        p_read_count[ip].store(4096, rel);
                        if (t->seek(position + static_cast<s64>(tail), os::file_begin) >= 0) t->set_eof();
                    }
                    // What a buffered handle wrote must be on the device
                    // before the verifying thread reads it back directly.
                    if (verify && t != h_file) t->flush();
                    if (t != h_file) t->close();
                }
            }
            if (verify && out != h_file) out->flush();
            n_read.store(nc + 1, rel);
            last_count.store(static_cast<s64>(offset), rel);
            if (offset != 0) n_filled.store(nc + 1, rel);
            src->release(id, nc + 1);
        }
    }

end:
    done.store(true, rel);
    last_count = 0;
    src->feeds_writer.store(false, rel);
    if (out != h_file) out->close();
    {
        std::lock_guard<std::mutex> lock(cut_mutex);
        writer_finished = true;
        if (cut_requested) {
            h_file->seek(cut_at, os::file_begin);
            h_file->set_eof();
        }
    }
    // Bytes the system could not store in the end are a failed copy too.
    if (h_file->flush() != 0 && !stream && !stopped()) fail_both(h_file->error_w, "h_file->flush()");
    os::set_current_thread_priority(0);
    src->leave(id);
    return status.load();
}
