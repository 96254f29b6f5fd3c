// The open stage: which objects open with which access, disposition and
// flags, in a fixed order, each device prepared right after its open.
#include <cstdio>

#include "app/G_APP.h"
#include "os/console.h"

namespace {
// A regular file or a device gives back what was written; a pipe, a
// console or a character device does not.
bool can_read_back(G_FILE& file) {
    s64 size = 0;
    if (file.is_std_stream) return false;
    return os::file_size(file.handle, size) == 0 || os::disk_length(file.handle, size) == 0;
}
}  // namespace

void G_APP::prepare(G_FILE& file) {
    if (opt_lock) file.lock_dismount();
    else file.allow_extended_io();
    if (opt_offline) file.set_offline(1);
}

u32 G_APP::open_files() {
    using namespace os;
    const u32 unbuffered = buffered_io ? 0 : flag_no_buffering;

    if (!opt_quiet && !opt_normalize && (opt_verbose || opt_compare || opt_write))
        std::fputs(":: opening files:", stderr);

    if (opt_log) {
        const bool stream = is_std_stream_name(file_name[0]);
        u32 access = opt_lock && !stream ? (generic_read | generic_write) : generic_write;
        // Opened without cutting: an existing log is cut only once it is
        // sure that it is none of the inputs and the run can start.
        u32 flags = opt_bench && !buffered_io ? flag_no_buffering : 0;
        hFileLog.open(file_name[0], access, open_always, flags);
        if (!hFileLog.is_open) return hFileLog.error_r;
        cut_log_ = !opt_append && !stream;
        if (opt_lock) hFileLog.lock_dismount();
        if (opt_offline) hFileLog.set_offline(1);
        if (opt_bench) return run_benchmark();
        // An appended listing goes after the existing log, never over its start.
        if (opt_append && !stream) hFileLog.seek(0, file_end);
    }

    {
        const bool stream = is_std_stream_name(file_name[1]);
        u32 access = opt_lock && !stream ? (generic_read | generic_write) : generic_read;
        hFileIn1.open(file_name[1], access, open_existing, unbuffered);
        if (!hFileIn1.is_open) return hFileIn1.error_r;
        prepare(hFileIn1);
    }

    // A copy needs a target: the second argument being a switch would
    // otherwise create a file named like it and copy nothing.
    if (opt_write && single_file) {
        std::fprintf(stderr, "\n!! -Write needs a target: %s <file1> <file2> -Write\n", program_name);
        return os::err::invalid_parameter;
    }
    if (opt_normalize || opt_write) {
        u32 access = opt_write ? (generic_read | generic_write) : generic_write;
        // Opened without cutting: the target is cut only once the run can
        // start (cut_outputs), and never when it is one of the inputs.
        // Verified writes go through to the device before they are read back.
        const u32 through = opt_verify ? flag_write_through : 0;
        hFileOut.open(file_name[2], access, open_always, unbuffered | through);
        if (!hFileOut.is_open) return hFileOut.error_r;
        s64 ignored = 0;
        target_created_ = hFileOut.error_r != os::err::already_exists && !hFileOut.is_std_stream &&
                          os::file_size(hFileOut.handle, ignored) == 0;
        u32 refused = refuse_shared_data();
        if (refused == 0) refused = refuse_append_target();
        if (refused == 0 && opt_verify && !can_read_back(hFileOut)) {
            std::fprintf(stderr,
                         "\n!! -verify: [%s] cannot be read back (a pipe or character device); copy to a file or a "
                         "device\n",
                         file_name[2]);
            refused = os::err::invalid_parameter;
        }
        if (refused != 0) {
            discard_new_target();  // a refused run leaves no new file behind
            return refused;
        }
        cut_target_ = !opt_append && !hFileOut.is_std_stream;
        prepare(hFileOut);
        // A standard stream is never positioned: it is written from where
        // it stands (and appends when it was opened to append).
        if (opt_append && !hFileOut.is_std_stream) {
            hFileOut.seek(0, file_end);  // error_r: 0 or the code
        }
        if (opt_resume) {
            s64 position = hFileOut.get_file_pointer();
            if (position > 0) {
                // Continue from the last whole unit, so that direct reads and
                // writes stay aligned and no byte of the source is skipped.
                position &= ~s64{4095};
                hFileOut.seek(position, file_begin);
            }
            if (position >= 0 && hFileIn1.seek(position, file_begin) < 0 && position > 0) {
                std::fprintf(stderr, "\n!! cannot resume at %lld: the source cannot be positioned\n",
                             static_cast<long long>(position));
                print_error(stderr, "hFileIn1.seek(position, FILE_BEGIN)", hFileIn1.error_r);
                return hFileIn1.error_r;
            }
        }
        if (opt_verify) {
            // Its own direct handle: what it reads comes from the device, never
            // from a cache that holds what was just written.
            hFileVerify.open(file_name[2], generic_read, open_existing, flag_no_buffering);
            if (!hFileVerify.is_open) return hFileVerify.error_r;
        }
    } else if (single_file) {
        // nothing more to open
    } else {
        u32 access = opt_offline ? (generic_read | generic_write) : generic_read;
        hFileIn2.open(file_name[2], access, open_existing, unbuffered);
        if (!hFileIn2.is_open) return hFileIn2.error_r;
        prepare(hFileIn2);
    }

    if (u32 refused = refuse_shared_data(); refused != 0) return refused;

    if (!opt_quiet && (opt_verbose || ((opt_compare || opt_write) && !opt_normalize))) std::fputs("OK  ", stderr);
    return 0;
}

u32 G_APP::refuse_shared_data() {
    struct named {
        const G_FILE* file;
        const char* role;
        const char* path;
    };
    const named outputs[] = {{&hFileLog, "log", file_name[0]}, {&hFileOut, "target", file_name[2]}};
    const named others[] = {{&hFileIn1, "input", file_name[1]}, {&hFileIn2, "input", file_name[2]},
                            {&hFileOut, "target", file_name[2]}};
    for (const named& out : outputs)
        for (const named& other : others) {
            if (out.file == other.file || !overwrites(*out.file, *other.file)) continue;
            std::fprintf(stderr, "\n!! the %s [%s] is the %s [%s]: refused, nothing written\n", out.role, out.path,
                         other.role, other.path);
            return os::err::invalid_parameter;
        }
    // Nor may the console text land in an output: the target or the log
    // that is the file behind standard output or standard error.
    for (const named& out : outputs) {
        if (!out.file->is_open || out.file->is_std_stream) continue;
        for (int n : {1, 2}) {
            if (!overwrites(out.file->handle, os::text_handle(n))) continue;
            std::fprintf(stderr, "\n!! the %s [%s] is where standard %s goes: refused, nothing written\n", out.role,
                         out.path, n == 1 ? "output" : "error");
            return os::err::invalid_parameter;
        }
    }
    // Standard input read twice would give each input part of one stream.
    if (hFileIn1.is_open && hFileIn2.is_open && hFileIn1.is_std_stream && hFileIn2.is_std_stream) {
        std::fputs("\n!! standard input cannot be both inputs: refused\n", stderr);
        return os::err::invalid_parameter;
    }
    return 0;
}

u32 G_APP::refuse_append_target() {
    if (!opt_append) return 0;
    if (hFileOut.is_std_stream) {
        if (!opt_resume) return 0;
        std::fputs("\n!! -resume needs a target that can be positioned, not standard output: nothing written\n",
                   stderr);
        return os::err::invalid_parameter;
    }
    s64 target_size = 0;
    s64 capacity = 0;
    if (os::file_size(hFileOut.handle, target_size) != 0) {
        // A device's end is its capacity, not the end of an earlier copy.
        if (os::disk_length(hFileOut.handle, capacity) == 0) {
            std::fprintf(stderr, "\n!! [%s] is a device: -append and -resume need a file target\n", file_name[2]);
            return os::err::invalid_parameter;
        }
        return 0;
    }
    if (!opt_resume) return 0;
    s64 source_size = 0;
    if (os::file_size(hFileIn1.handle, source_size) != 0 && os::disk_length(hFileIn1.handle, source_size) != 0)
        return 0;  // a stream: its length is not known
    if (target_size > source_size) {
        std::fprintf(stderr, "\n!! cannot resume: [%s] has %lld bytes, more than the %lld of [%s]: nothing written\n",
                     file_name[2], static_cast<long long>(target_size), static_cast<long long>(source_size),
                     file_name[1]);
        return os::err::invalid_parameter;
    }
    return 0;
}

void G_APP::discard_new_target() {
    if (!target_created_) return;
    target_created_ = false;
    hFileOut.close();
    os::remove_file(file_name[2]);
}

void G_APP::cut_outputs() {
    // Regular files only: a device keeps its bytes past the copy, a stream
    // is never cut.
    auto cut = [this](G_FILE& file, bool wanted, const char* text) {
        s64 size = 0;
        if (!wanted || !file.is_open || os::file_size(file.handle, size) != 0 || size == 0) return;
        if (file.seek(0, os::file_begin) < 0 || file.set_eof() != 0) {
            print_error(stderr, text, file.error_w ? file.error_w : file.error_r);
            run_failed = true;
        }
    };
    cut(hFileLog, cut_log_, "\n!! hFileLog.set_eof()");
    cut(hFileOut, cut_target_, "\n!! hFileOut.set_eof()");
    cut_log_ = cut_target_ = false;
}
