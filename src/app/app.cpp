// The run sequence and the clean-up.
#include <cstdio>

#include "app/G_APP.h"
#include "os/console.h"
#include "pipeline/G_PIPELINE.h"

void console_ctrl_handler() { ctrl_c_typed.store(true); }

G_APP::G_APP(int argc, char** argv, bool run) {
    // memory has probed the large-page unit; crypt and the files are closed.
    page_size = memory.large_page_size;
    if (!run) return;

    os::enable_privilege("SeBackupPrivilege");
    os::enable_privilege("SeRestorePrivilege");

    if (parse_options(argc, argv) != 0) return;

    if (opt_hash) {
        if (hash_list_count != 0) crypt.init_list(hash_list, hash_list_count);
        else crypt.init(alg_id);
        opt_hash = crypt.is_ready;
        if (!opt_hash) run_failed = true;  // asked for a digest that cannot be made
    }

    if (u32 opened = open_files(); opened != 0) {
        discard_new_target();
        // The benchmark always ends the run here, and has done its job
        // when it ran (to Ctrl+C or a failed write).
        benchmark_ran_ = opt_bench && opt_log && opened == 0xFFFFFFFFu && !hFileLog.is_open;
        if (!benchmark_ran_) run_failed = true;
        return;
    }
    if (setup_pipelines() != 0 || check_resumed_prefix() != 0) {
        discard_new_target();
        run_failed = true;
        return;
    }
    // A standard-output target takes every byte through its handle, in
    // order, from where it stands, also when it is a regular file.
    if (pipeline2 && pipeline2->is_writer) pipeline2->stream_target = hFileOut.is_std_stream;
    // The buffers are in place: only now an existing target may be cut.
    // After Ctrl+C nothing is cut and nothing starts.
    if (ctrl_c_typed.load()) {
        discard_new_target();
        run_failed = true;
        return;
    }
    cut_outputs();
    if (run_failed) return;
    time_start_ms = now_ms();

    if (opt_normalize) {
        if (normalize() != 0) {
            run_failed = true;
            return;
        }
    } else {
        if (!pipeline1->run()) {
            run_failed = true;
            return;
        }
        record_pipelines();
    }
    print_result();
}

void G_APP::record_pipelines() {
    peak_level[0] = static_cast<u32>(pipeline1->peak_level.load());
    if (!single_file && pipeline2) {
        peak_level[1] = static_cast<u32>(pipeline2->peak_level.load());
        files_identical = !pipeline1->differs.load();
        smaller_file = pipeline1->smaller_file.load();
    }
    if (pipeline1->failed() || (pipeline2 && pipeline2->failed()) || ctrl_c_typed.load()) run_failed = true;
    if (pipeline1->bad_blocks.load() != 0 || (pipeline2 && pipeline2->bad_blocks.load() != 0))
        blocks_replaced = true;
    // A copy is complete when every slot with data was written and the
    // source had nothing more: counters of one writer each, final now.
    if (pipeline2 && pipeline2->is_writer) {
        const G_PIPELINE& src = *pipeline1;
        if (pipeline2->n_read.load() < src.n_filled.load() || !src.reached_end.load()) run_failed = true;
    }
    // A verified copy: what was read back, what differed, whether a read failed.
    if (opt_verify && pipeline2 && pipeline2->is_writer) {
        verified_bytes = prefix_verified + pipeline2->verified_bytes.load();
        differing_bytes = pipeline2->differing_bytes.load();
        verify_failed = pipeline2->verify_failed.load();
        // No verifying thread took the slots: nothing was read back.
        if (verify_failed || pipeline1->verify_consumer < 0) run_failed = true;
        if (differing_bytes != 0) inputs_differ = true;
    }
    // Under the bench switch nothing is compared: no verdict.
    if (!single_file && pipeline2 && !pipeline2->is_writer && opt_compare && !opt_bench &&
        (pipeline1->differs.load() || smaller_file != 0))
        inputs_differ = true;
}

int G_APP::exit_status() const {
    if (benchmark_ran_ && !run_failed) return 0;
    if (run_failed || ctrl_c_typed.load()) return 2;
    if (blocks_replaced) return 3;
    if (inputs_differ) return 1;
    return 0;
}

void G_APP::clean_up() {
    if (cleaned_) return;
    cleaned_ = true;
    const bool quiet_cleanup = opt_hash || opt_peak || usage_shown || opt_quiet || opt_normalize || options_refused;
    if (opt_hash) {
        crypt.release();
    } else if (!quiet_cleanup) {
        std::fputs("cleanup:", stderr);
    }
    G_FILE* devices[3] = {&hFileIn1, &hFileIn2, &hFileOut};
    if (opt_lock)
        for (G_FILE* f : devices)
            if (f->is_open) f->unlock();
    if (opt_offline && !opt_keep_offline)
        for (G_FILE* f : devices)
            if (f->is_open) f->set_offline(0);
    std::fflush(stdout);
    std::fflush(stderr);
    hFileIn1.close();
    hFileIn2.close();
    hFileOut.close();
    hFileOutUnaligned.close();
    hFileVerify.close();
    if (opt_log) hFileLog.close();
    delete pipeline1;
    pipeline1 = nullptr;
    delete pipeline2;
    pipeline2 = nullptr;
    norm_buffer = nullptr;
    buffer = nullptr;
    memory.release();
    if (!quiet_cleanup) std::fputs("OK\n", stderr);
}

G_APP::~G_APP() { clean_up(); }
