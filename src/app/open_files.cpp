// The open stage: which objects open with which access, disposition and
// flags, in a fixed order, each device prepared right after its open.
#include <cstdio>

#include "app/G_APP.h"

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
        u32 disposition = opt_append ? open_always : create_always;
        u32 flags = opt_bench && !buffered_io ? flag_no_buffering : 0;
        hFileLog.open(file_name[0], access, disposition, flags);
        if (!hFileLog.is_open) return hFileLog.error_r;
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
        hFileOut.open(file_name[2], access, opt_append ? open_always : create_always, unbuffered);
        if (!hFileOut.is_open) return hFileOut.error_r;
        prepare(hFileOut);
        if (opt_append) {
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
    } else if (single_file) {
        // nothing more to open
    } else {
        u32 access = opt_offline ? (generic_read | generic_write) : generic_read;
        hFileIn2.open(file_name[2], access, open_existing, unbuffered);
        if (!hFileIn2.is_open) return hFileIn2.error_r;
        prepare(hFileIn2);
    }

    if (!opt_quiet && (opt_verbose || ((opt_compare || opt_write) && !opt_normalize))) std::fputs("OK  ", stderr);
    return 0;
}
