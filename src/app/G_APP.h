#pragma once
// The run object: constructing it performs the whole run, destroying it is
// the clean-up. Worker threads never see it; they get copies of its settings
// and pointers to its members through the pipelines.
#include <string>

#include "app/report.h"
#include "hash/G_CRYPT.h"
#include "io/G_FILE.h"
#include "memory/G_MEMORY.h"

class G_PIPELINE;

class G_APP {
public:
    const char* program_name = nullptr;
    const char* file_name[3] = {"zef-log.txt", nullptr, nullptr};
    bool opt_bench = false;
    bool opt_bench_ff = false;
    bool opt_quiet = false;
    bool opt_verbose = false;
    bool opt_log = false;
    bool files_identical = true;
    bool single_file = false;
    bool usage_shown = false;
    bool buffered_io = false;
    G_MEMORY memory;
    u8* buffer = nullptr;
    u32 status = 0;
    u64 page_size = 0;
    u64 buffers_shift = 1;
    G_PIPELINE* pipeline1 = nullptr;
    G_PIPELINE* pipeline2 = nullptr;
    s64 bench_last_write = 0;
    u64 rbLength = 0;
    s64 last_read = 0;
    s64 last_write = 0;
    u64 smaller_file = 0;
    u64 bench_blocks = 0;
    s64 time_start_ms = 0;
    s64 time_print_ms = 0;
    s64 time_now_ms = 0;
    s64 time_elapsed_ms = 0;
    u32 alg_id = 3;
    // -hash=LIST: its algorithms in list order; count 0 when not given.
    u32 hash_list[G_CRYPT_ALG_COUNT] = {};
    u32 hash_list_count = 0;
    const char* hash_list_arg = nullptr;
    const char* single_hash_arg = nullptr;  // the last of -md2 ... -xxh128
    bool options_refused = false;           // a switch was refused: nothing runs
    G_CRYPT crypt;
    bool opt_compare = false;
    bool opt_hash = false;
    bool opt_peak = false;
    bool opt_normalize = false;
    bool opt_thread_affinity = false;
    bool opt_lock = false;
    bool opt_offline = false;
    bool opt_keep_offline = false;
    bool opt_append = false;
    bool opt_resume = false;
    bool opt_write = false;
    bool opt_verify = false;  // a copy read back from the target and compared
    u32 peak_level[2] = {0, 0};
    G_FILE hFileLog;
    G_FILE hFileIn1;
    G_FILE hFileIn2;
    G_FILE hFileOut;
    G_FILE hFileOutUnaligned;
    G_FILE hFileVerify;  // the copy target again, for direct reads
    u8* norm_buffer = nullptr;

    // What the run recorded; exit_status() turns it into the process status.
    bool run_failed = false;       // a stage or transfer failed, or Ctrl+C
    bool blocks_replaced = false;  // unreadable blocks were filled with 0xAD
    bool inputs_differ = false;    // compared inputs differ in content or length

    // Verification of a copy: bytes read back equal, bytes that differ, and
    // the bytes of a resumed target found equal before the run.
    u64 verified_bytes = 0;
    u64 differing_bytes = 0;
    bool verify_failed = false;
    u64 prefix_verified = 0;

    // `run` false: only set the defaults (tests drive the stages themselves).
    G_APP(int argc, char** argv, bool run = true);
    ~G_APP();
    G_APP(const G_APP&) = delete;
    G_APP& operator=(const G_APP&) = delete;

    int parse_options(int argc, char** argv);
    u32 open_files();
    u32 setup_pipelines();
    u32 check_resumed_prefix();
    void print_result();
    u32 run_benchmark();
    u32 normalize();
    void clean_up();
    int exit_status() const;

private:
    void print_usage();
    void print_additions();
    void prepare(G_FILE& file);
    void record_pipelines();
    // No output may share bytes with an input (or the log with the target).
    u32 refuse_shared_data();
    // -append and -resume: refused onto a device, -resume onto standard
    // output and onto a file longer than the source.
    u32 refuse_append_target();
    // Cuts an existing log and target once the run can start.
    void cut_outputs();
    bool cut_log_ = false;
    bool cut_target_ = false;
    bool target_created_ = false;  // the open made a new target file
    void discard_new_target();
    bool cleaned_ = false;
    bool benchmark_ran_ = false;
};

// The console control handler's job: the flag (the notice is printed by the
// platform layer from its signal context).
void console_ctrl_handler();

// Whole-text comparison ignoring ASCII letter case.
bool equals_any_case(const char* a, const char* b);

// The list of -hash=LIST: comma-separated algorithm names (any case, no
// repeats) into alg_ids in list order. False with `why` naming the bad item.
bool parse_hash_list(const char* list, u32 (&ids)[G_CRYPT_ALG_COUNT], u32& count, std::string& why);

// The entry's body, shared by both platforms' entry points.
int zef_main(int argc, char** argv);
