// The final report: digests, or the comparison's verdict, then peak levels.
#include <cstdio>

#include "app/G_APP.h"
#include "os/console.h"

namespace {

// Whether what was printed on standard stream `n` (1 or 2) reached it: the
// stream was open at the start and took every byte up to the final flush.
bool reached(FILE* stream, int n) {
    const bool flushed = std::fflush(stream) == 0;
    return flushed && !std::ferror(stream) && !os::std_stream_closed(n);
}

}  // namespace

void G_APP::print_result() {
    if (opt_normalize) return;
    if ((!opt_quiet && (opt_compare || opt_write)) || opt_bench || opt_verbose) std::fputs("\n\n", stderr);

    // Which streams carry a result (digest, verdict, peak level): a result
    // that cannot be written fails the run.
    bool result_out = false;
    bool result_err = false;
    if (opt_hash) {
        if (opt_compare && smaller_file != 0) {
            result_err = true;
            if (!opt_quiet) std::fputs("\n", stderr);
            std::fprintf(stderr, "!! file is smaller [%s]\n", file_name[smaller_file]);
            if (!opt_quiet) std::fputs("\n", stderr);
        }
        // A failed or interrupted run digested a part only: no digest then.
        // Under the bench switch no hashing thread runs: there is no digest.
        if (opt_bench) {
            // nothing was hashed
        } else if (crypt.finish_all() == 0 && !run_failed) {
            // One digest: "hex  path". A list: "ALG (path) = hex" per algorithm,
            // in list order, as the BSD-style checkers read it.
            auto print_digest = [this](FILE* stream, size_t input, const char* path) {
                // A digest line starts a line of its own, so that checkers read it.
                if (stream == stdout && stdout_mid_line.exchange(false)) std::fputs("\n", stdout);
                for (u32 k = 0; k < crypt.alg_count; ++k) {
                    const size_t i = input * crypt.alg_count + k;
                    char line[2 * 256 + 1];
                    for (u32 j = 0; j < crypt.digest_length(i) && j < 256; ++j)
                        std::snprintf(line + 2 * j, 3, "%02x", crypt.txt_hashes[i][j]);
                    if (hash_list_count != 0)
                        std::fprintf(stream, "%s (%s) = %s\n", G_CRYPT_ALG_ID[crypt.alg_ids[k]], path, line);
                    else
                        std::fprintf(stream, "%s  %s\n", line, path);
                }
            };
            print_digest(opt_write ? stderr : stdout, 0, file_name[1]);
            if (!single_file && !opt_write) print_digest(stderr, 1, file_name[2]);
            (opt_write ? result_err : result_out) = true;
            if (!single_file && !opt_write) result_err = true;
        } else {
            run_failed = true;
        }
    } else if (opt_compare && !opt_bench) {
        // Under the bench switch nothing is compared: no verdict.
        result_err = !opt_quiet || smaller_file != 0;
        if (smaller_file != 0) {
            if (!opt_quiet) std::fputs("\n", stderr);
            std::fprintf(stderr, "!! file is smaller [%s]\n", file_name[smaller_file]);
        } else if (!opt_quiet) {
            std::fputs("\n", stderr);
        }
        if (!opt_quiet && !run_failed)
            // Inputs of different lengths are different, whatever their common part holds.
            std::fputs(files_identical && smaller_file == 0 ? "++ no differences encountered. " : "!! files are different. ",
                       stderr);
        if (opt_peak) std::fputs("\n", stderr);
    }

    if (opt_verify && opt_write) {
        // After the digest: the verdict on what the target holds now.
        if (differing_bytes != 0) {
            result_err = true;
            std::fprintf(stderr, "!! copy differs from source: %llu bytes differ\n",
                         static_cast<unsigned long long>(differing_bytes));
        } else if (!run_failed) {
            result_err = true;
            std::fprintf(stderr, "++ copy verified: %llu bytes read back and equal\n",
                         static_cast<unsigned long long>(verified_bytes));
        }
    }
    if (opt_peak) {
        result_err = true;
        if (!single_file) std::fputs("\n", stderr);
        std::fprintf(stderr, "%7.3f%% %s\n", peak_level[0] / 327.68, file_name[1]);
        if (!single_file) std::fprintf(stderr, "%7.3f%% %s\n", peak_level[1] / 327.68, file_name[2]);
    }
    std::fflush(stdout);
    if (result_out && !reached(stdout, 1)) {
        run_failed = true;
        std::fputs("\n!! the result could not be written to standard output\n", stderr);
    }
    if (result_err && !reached(stderr, 2)) run_failed = true;  // nowhere left to say so
}
