// The reading thread: the ring's only producer.
#include <cstdio>
#include <cstring>

#include "app/report.h"
#include "io/G_FILE.h"
#include "pipeline/G_PIPELINE.h"

namespace {
constexpr auto acq = std::memory_order_acquire;
constexpr auto rel = std::memory_order_release;

bool unreadable(u32 code) {
    return code == os::err::invalid_function || code == os::err::crc || code == os::err::device_hardware_error;
}
}  // namespace

// One slot's read. A source of unknown size (a pipe, a terminal) is read
// until the slot is full or the stream ends, so that slot n always starts
// at byte n x page_size.
s64 G_PIPELINE::read_slot(u8* data, u64 size) {
    s64 got = h_file->read(data, static_cast<u32>(size));
    if (got <= 0 || file_size != 0) return got;
    u64 filled = static_cast<u64>(got);
    while (filled < size) {
        s64 more = h_file->read(data + filled, static_cast<u32>(size - filled));
        if (more < 0) return -1;
        if (more == 0) break;
        filled += static_cast<u64>(more);
    }
    return static_cast<s64>(filled);
}

void G_PIPELINE::request_cut(s64 position) {
    if (stream_target) return;  // a standard stream is never cut
    std::lock_guard<std::mutex> lock(cut_mutex);
    cut_requested = true;
    cut_at = position;
    if (writer_finished) {
        h_file->seek(cut_at, os::file_begin);
        h_file->set_eof();
    }
}

u32 G_PIPELINE::thread_read() {
    G_PIPELINE* const peer = p_peer;
    {
        s64 size = -1;
        u32 code = os::file_size(h_file->handle, size);
        bool clamp = false;
        if (code == 0 && size != -1) {
            h_file->error_r = 0;
            file_size = size;
        } else {
            h_file->error_r = code;
            file_size = h_file->get_size();
            clamp = file_size != 0;
        }
        clamp_to_end_ = clamp;
    }
    // A resumed copy starts inside the input: what is left is counted from there.
    bytes_left = file_size;
    if (file_size != 0 && start_position > 0 && start_position <= file_size) bytes_left = file_size - start_position;
    last_count = 0;
    u64 read_size = page_size;
    u64 bad = 0;
    s64 first_bad_position = 0;
    os::set_current_thread_priority(1);

    // Under the bench switch a ring without consumers is read at full speed;
    // otherwise the reading ends once no consumer takes slots any more.
    for (u64 nr = 0;; ++nr) {
        if (stopped()) break;
        if (!bench && !has_consumer()) break;
        while (!slot_free(nr)) {
            if (stopped()) goto end;
            h_event_read.wait();
        }
        if (stopped() || (!bench && !has_consumer())) break;
        const u64 ip = nr & buffers_mask;
        if (clamp_to_end_ && static_cast<s64>(read_size) > bytes_left) read_size = static_cast<u64>(bytes_left);

        s64 count = 0;
        if (file_size != 0 && bytes_left <= 0) {
            count = 0;  // the end mark, without a read
        } else {
            s64 got = read_slot(pp_DATA[ip], read_size);
            if (got >= 0) {
                count = got;
                first_bad_position = 0;
            } else {
                u32 st = h_file->error_r;
                if (ctrl_c_typed.load(acq)) goto end;  // the read was interrupted on purpose
                // The last partial block of a device: exactly what is left.
                if ((st == os::err::invalid_parameter || st == os::err::io_device) && bytes_left > 0 &&
                    static_cast<u64>(bytes_left) < page_size) {
                    st = 0;
                    got = h_file->read(pp_DATA[ip], static_cast<u32>(bytes_left));
                    if (got >= 0) count = got;
                    else st = h_file->error_r;
                }
                if (unreadable(st)) {
                    ++bad;
                    bad_blocks.store(bad, rel);
                    s64 position = h_file->get_file_pointer();
                    std::fprintf(stderr, " addr %llx  page %llx  CRC %llu\n", static_cast<unsigned long long>(position),
                                 static_cast<unsigned long long>(static_cast<u64>(position) / page_size),
                                 static_cast<unsigned long long>(bad));
                    if (first_bad_position == 0) first_bad_position = position;
                    if (bad < 0xFFFFFFFFull) {
                        if (h_file->seek(static_cast<s64>(read_size), os::file_current) >= 0 || h_file->error_r == 0) {
                            // Never more filler than the source has left.
                            u64 fill = read_size;
                            if (file_size != 0 && bytes_left >= 0 && static_cast<u64>(bytes_left) < fill)
                                fill = static_cast<u64>(bytes_left);
                            std::memset(pp_DATA[ip], 0xAD, fill);
                            count = static_cast<s64>(fill);
                            st = 0;
                        }
                    }
                }
                if (st != 0) {
                    print_error(stderr, "\nh_file->read(pp_DATA[ip])", st);
                    if (feeds_writer.load(acq) && peer && unreadable(st) && first_bad_position >= start_position) {
                        // The target's byte that stands for the first bad one.
                        peer->request_cut(peer->start_position + (first_bad_position - start_position));
                    }
                    stop(st);
                    goto end;
                }
            }
        }
        publish(nr, count);
        if (file_size != 0) bytes_left -= count;
        if (count == 0) break;
    }

end:
    last_count = 0;
    os::set_current_thread_priority(0);
    done.store(true, rel);
    wake_all();
    return status.load();
}
