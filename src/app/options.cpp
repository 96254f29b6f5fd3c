// Command-line switches, the banner, the mode decision and the usage text.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/G_APP.h"
#include "os/console.h"

bool equals_any_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return *a == *b;
}

bool parse_hash_list(const char* list, u32 (&ids)[G_CRYPT_ALG_COUNT], u32& count, std::string& why) {
    count = 0;
    if (*list == '\0') {
        why = "the list is empty";
        return false;
    }
    for (u32 position = 1;; ++position) {
        const char* end = std::strchr(list, ',');
        const size_t length = end != nullptr ? static_cast<size_t>(end - list) : std::strlen(list);
        const std::string item(list, length);
        if (length == 0) {
            why = "name " + std::to_string(position) + " is empty";
            return false;
        }
        const u32 id = G_CRYPT_find_alg(list, length);
        if (id == G_CRYPT_ALG_COUNT) {
            why = "\"" + item + "\" is not an algorithm";
            return false;
        }
        for (u32 k = 0; k < count; ++k)
            if (ids[k] == id) {
                why = "\"" + item + "\" is named twice";
                return false;
            }
        ids[count++] = id;  // no repeats: at most G_CRYPT_ALG_COUNT
        if (end == nullptr) return true;
        list = end + 1;
    }
}

namespace {

enum class match { exact, any_case, prefix_any_case };

struct switch_row {
    const char* text;
    match how;
    void (*apply)(G_APP&);
    void (*apply_text)(G_APP&, const char*) = nullptr;  // rows that read their argument
};

bool starts_with_any_case(const char* s, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (std::strlen(s) < n) return false;
    const std::string head(s, n);
    return equals_any_case(head.c_str(), prefix);
}

constexpr char hash_list_prefix[] = "-hash=";
constexpr char hash_list_names[] = "md2, md4, md5, sha1, sha256, sha384, sha512, xxh128";

void apply_hash_list(G_APP& a, const char* arg) {
    std::string why;
    if (!parse_hash_list(arg + sizeof hash_list_prefix - 1, a.hash_list, a.hash_list_count, why)) {
        std::fprintf(stderr, "!! %s: %s; name one or more of %s, separated by commas\n", arg, why.c_str(),
                     hash_list_names);
        a.hash_list_count = 0;
        a.options_refused = true;
        return;
    }
    a.opt_hash = true;
    a.hash_list_arg = arg;
}

// -md2 ... -sha512 and -xxh128: a switch naming one algorithm.
bool is_single_hash_switch(const char* arg) {
    return arg[0] == '-' && G_CRYPT_find_alg(arg + 1, std::strlen(arg + 1)) != G_CRYPT_ALG_COUNT;
}

// Tried in this order; the first row that matches applies.
const switch_row switch_table[] = {
    {"-l", match::exact, [](G_APP& a) { a.opt_log = true; }},
    {"-log", match::any_case, [](G_APP& a) { a.opt_log = true; }},
    {"-q", match::any_case, [](G_APP& a) { a.opt_quiet = true; }},
    {"-quiet", match::any_case, [](G_APP& a) { a.opt_quiet = true; }},
    {"-c", match::any_case, [](G_APP& a) { a.opt_compare = true; }},
    {"-cmp", match::any_case, [](G_APP& a) { a.opt_compare = true; }},
    {"-md2", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 0; }},
    {"-md4", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 1; }},
    {"-md5", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 2; }},
    {"-sha1", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 3; }},
    {"-sha256", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 4; }},
    {"-sha384", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 5; }},
    {"-sha512", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 6; }},
    {"-p", match::any_case, [](G_APP& a) { a.opt_peak = true; }},
    {"-peak", match::any_case, [](G_APP& a) { a.opt_peak = true; }},
    {"-n", match::any_case, [](G_APP& a) { a.opt_peak = a.opt_normalize = true; }},
    {"-normalize", match::any_case, [](G_APP& a) { a.opt_peak = a.opt_normalize = true; }},
    {"-B", match::exact, [](G_APP& a) { a.opt_bench = a.opt_bench_ff = true; }},
    {"-b", match::exact, [](G_APP& a) { a.opt_bench = true; }},
    {"-bench", match::any_case, [](G_APP& a) { a.opt_bench = true; }},
    {"-v", match::any_case, [](G_APP& a) { a.opt_verbose = true; }},
    {"-verbose", match::any_case, [](G_APP& a) { a.opt_verbose = true; }},
    {"-t", match::any_case, [](G_APP& a) { a.opt_thread_affinity = true; }},
    {"-L", match::exact, [](G_APP& a) { a.opt_lock = true; }},
    {"-lock", match::any_case, [](G_APP& a) { a.opt_lock = true; }},
    {"-dismount", match::any_case, [](G_APP& a) { a.opt_lock = true; }},
    {"-OO", match::exact, [](G_APP& a) { a.opt_keep_offline = true; }},
    {"-O", match::exact, [](G_APP& a) { a.opt_offline = true; }},
    {"-offline", match::exact, [](G_APP& a) { a.opt_offline = true; }},
    {"-a", match::exact, [](G_APP& a) { a.opt_append = true; }},
    {"-append", match::exact, [](G_APP& a) { a.opt_append = true; }},
    {"-r", match::exact, [](G_APP& a) { a.opt_append = a.opt_resume = true; }},
    {"-resume", match::exact, [](G_APP& a) { a.opt_append = a.opt_resume = true; }},
    {"-Write", match::exact, [](G_APP& a) { a.opt_write = true; }},
    {"-xxh128", match::any_case, [](G_APP& a) { a.opt_hash = true, a.alg_id = 7; }},
    {hash_list_prefix, match::prefix_any_case, nullptr, apply_hash_list},
    {"-verify", match::any_case, [](G_APP& a) { a.opt_verify = true; }},
};

// Rows 35 to 37: the size switches, which act each time they appear.
bool apply_size_switch(G_APP& a, const char* arg, bool& digit_given) {
    if (arg[0] != '-' || arg[1] == '\0') return false;
    const char c1 = arg[1];
    const char c2 = arg[2];
    if (c1 == 'P' && c2 != '\0') {
        if (c2 >= '0' && c2 <= '9') a.page_size = u64{512} << (c2 - '0');
        else if (c2 >= 'A' && c2 <= 'K') a.page_size = u64{512} << (c2 - 'A' + 10);
        else if (c2 >= 'a' && c2 <= 'k') a.page_size = u64{512} << (c2 - 'a' + 10);
        if (a.page_size < 4096) a.buffered_io = true;
        return true;
    }
    if (c1 >= '0' && c1 <= '9') {
        a.buffers_shift = static_cast<u64>(c1 - '0');
        digit_given = true;
        if (c2 >= '0' && c2 <= '9') a.page_size <<= (c2 - '0');
        return true;
    }
    if (c1 == '?') {
        if (c2 >= '0' && c2 <= '9') a.page_size <<= (c2 - '0');
        return true;
    }
    return false;
}

bool is_std_name_exact(const char* s) {
    return std::strcmp(s, "-") == 0 || std::strcmp(s, "con") == 0 || std::strcmp(s, "CON") == 0;
}

const char* const usage_lines[] = {
    /* 1 */ "::usage::\n\t%s <file1> [file2] [-##]\n\t[-b|-bench] [-l|-log] [-q|-quiet] [-v|-verbose]\n\t[-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512]\n\t[-c|-compare] [-p|-peak] [-n|-normalize] [-t]\n\t[-L|-lock|-dismount] [-O|-offline] [-Write]\n\t[-a|-append] [-r|-resume copy, implies append]\n\n",
    /* 2 */ "::compare volume [d:] against [image.img] and calculate MD5 hash\n",
    /* 3 */ "\t%s \\\\.\\d: image.img -md5\n",
    /* 4 */ "\t%s \\\\.\\globalroot\\Device\\Harddisk0\\Partition1 image.img\n",
    /* 5 */ "\t%s \\\\.\\globalroot\\Device\\HarddiskVolume1 image.img\n",
    /* 6 */ "\t%s \\\\.\\Harddisk0Partition1 image.img\n",
    /* 7 */ "\t%s \\\\.\\PhysicalDrive0 image.img\t# compare disk against image\n",
    /* 8 */ "\n",
    /* 9 */ "::compress volume [d:] to d.img.7z and calculate SHA1 checksum:\n",
    /* 10 */ "\t%s \\\\.\\d: - -Write -L -sha1|7z a -si -m0=LZMA2 -mx=7 -md=32m -mfb=128 d.img.7z\n\n",
    /* 11 */ "::restore volume [d:] from d.img.7z and calculate SHA1 checksum:\n",
    /* 12 */ "\t7z x -so d.img.7z|%s - \\\\.\\d: -Write -L -sha1\n\n",
    /* 13 */ "::use - or con as file name to read from STDIN or write to STDOUT\n",
    /* 14 */ "\n",
    /* 15 */ "\t%s file.txt:stream1 -sha1\t# sha1 hash for stream1 in file.txt\n",
    /* 16 */ "\t%s image.img\t# creates hash of [image.img]\n\t\t\t# SHA1 is the default hash algorithm\n",
    /* 17 */ "\t%s -b -l\t# benchmark write performance 0x00 to [%s]\n",
    /* 18 */ "\t%s -B -l\t# benchmark write performance 0xFF to [%s]\n",
    /* 19 */ "\t%s \\\\.\\d: -Write -L -b -l\t# destroy data on vol [\\\\.\\d:]\n",
    /* 20 */ "\t%s src.raw dest.raw -n\t# performs peak level audio normalization\n\n",
    /* 21 */ ":: large page support requires Windows 2003 or later and user must have\n\tLock pages in memory priviledge\n\n",
    /* 22 */ ":: Volumes and disks should be locked and dismounted or offline: -L -O -OO\n",
    /* 23 */ "\t-L Try to lock and dismount volumes.\n",
    /* 24 */ "\t-O Try to lock and then offline disks.\n",
    /* 25 */ "\t-OO Try to lock and then offline disks. Leave disks offline after exit.\n",
    /* 26 */ "\t-Write Copies <file1> to <file2>.\n\n",
    /* 27 */ "\t-t Try to assign each thread on it's own processor. *experimental*\n",
    /* 28 */ "\t-4# the first  # increments the number_of_buffers = 1<<4 = 16\n\t-#5 the second # increments the page_size = page_size<<5 = %llu MB\n",
    /* 29 */ "\t-P# page_size = 512 << 0..9\n",
    /* 30 */ "\tIncrease the first  # to minimize the effect of disk speed variation.\n\tIncrease the second # to 5 when reading two files from the same disk.\n\tWARNING:High values will eat more than all RAM and starve for disk I/O!\n\n",
};

}  // namespace

int G_APP::parse_options(int argc, char** argv) {
    buffers_shift = 1;
    program_name = argc > 0 ? argv[0] : "zef";
    int expected = 2;
    bool digit_given = false;

    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage_shown = true;
        print_usage();
        print_additions();
        return -1;
    }

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        bool recognised = false;
        for (const switch_row& row : switch_table) {
            bool hit = row.how == match::exact      ? std::strcmp(arg, row.text) == 0
                       : row.how == match::any_case ? equals_any_case(arg, row.text)
                                                    : starts_with_any_case(arg, row.text);
            if (hit) {
                if (row.apply != nullptr) row.apply(*this);
                else row.apply_text(*this, arg);
                recognised = true;
                break;
            }
        }
        if (recognised && is_single_hash_switch(arg)) single_hash_arg = arg;
        if (!recognised) recognised = apply_size_switch(*this, arg, digit_given);
        if (recognised) ++expected;
    }

    // A refused list stops the run before anything is opened.
    if (options_refused) {
        run_failed = true;
        return -1;
    }
    if (hash_list_count != 0 && single_hash_arg != nullptr)
        std::fprintf(stderr, "!! %s and %s given: the list is used\n", hash_list_arg, single_hash_arg);

    if (opt_keep_offline) opt_offline = opt_lock = true;
    else if (opt_offline) opt_lock = true;
    if (opt_bench) opt_verbose = true;

    // Reading a copy back needs a copy, and a target that can be read:
    // refused before anything is opened or redirected.
    if (opt_verify && (!opt_write || opt_normalize || (opt_bench && opt_log))) {
        if (!opt_write)
            std::fprintf(stderr, "!! -verify reads a copy back: it needs -Write (%s <file1> <file2> -Write -verify)\n",
                         program_name);
        else
            std::fprintf(stderr, "!! -verify reads a copy back: not with %s\n",
                         opt_normalize ? "-n (normalization)" : "the write benchmark (-b -l)");
        run_failed = true;
        return -1;
    }
    if (opt_verify && argc > 2 && is_std_name_exact(argv[2])) {
        std::fprintf(stderr, "!! -verify: standard output cannot be read back; copy to a file or a device\n");
        run_failed = true;
        return -1;
    }

    // The copy goes to standard output: console text moves to standard error.
    if (opt_write && argc > 2 && is_std_name_exact(argv[2])) {
        std::fflush(nullptr);
        os::redirect_stdout_to_stderr();
    }

    os::install_ctrl_c_handler(console_ctrl_handler, "\n\tCTRL+C typed! exitting...\n");

    const int paths = argc - expected + 1;
    if (!opt_quiet && ((paths != 1 && !opt_hash && !opt_peak && !opt_normalize) || opt_compare || opt_write ||
                       opt_verbose))
        std::fputs(":: file compare and hash utility  2025-12-25\n", stderr);

    if (opt_bench && opt_log) {
        if (argc > 4) {
            if (opt_write) file_name[0] = argv[1];
            else std::fprintf(stderr, ":: add -Write to overwrite [%s]\n", argv[1]);
        }
        return 0;
    }

    if (argc > 1) file_name[1] = argv[1];
    if (argc > 2) file_name[2] = argv[2];

    if (argc < expected) {
        usage_shown = true;
        print_usage();
        return -1;
    }
    if (argc == expected) {
        single_file = true;
        if (!opt_peak) opt_hash = true;
    } else {
        if (!opt_compare) opt_compare = opt_verbose || (!opt_hash && !opt_peak);
        if (opt_write) opt_compare = false;
        if (!digit_given) {
            if (opt_compare) buffers_shift = 4;
            if (opt_write) buffers_shift = 6;
        }
    }
    return 0;
}

void G_APP::print_usage() {
    const char* p = program_name;
    const unsigned long long mb = (page_size >> 15) & ((u64{1} << 44) - 1);
    for (size_t i = 0; i < sizeof usage_lines / sizeof usage_lines[0]; ++i) {
        const int line = static_cast<int>(i) + 1;
        if (line == 17 || line == 18) std::printf(usage_lines[i], p, file_name[0]);
        else if (line == 28) std::printf(usage_lines[i], mb);
        else if (line == 1 || (line >= 3 && line <= 7) || line == 10 || line == 12 || (line >= 15 && line <= 20))
            std::printf(usage_lines[i], p);
        else std::fputs(usage_lines[i], stdout);
    }
    std::fflush(stdout);
}

// What this build adds to the usage text, for --help.
void G_APP::print_additions() {
    std::fputs("::switches added in this build\n"
               "\t-verify Verifies a copy: reads <file2> back through a direct handle and\n"
               "\t\tcompares it with <file1>.\n"
               "\t-hash=LIST Hashes with every algorithm of LIST in the same pass. LIST:\n"
               "\t\tmd2, md4, md5, sha1, sha256, sha384, sha512, xxh128, separated by\n"
               "\t\tcommas (any case, each once). One line per algorithm,\n"
               "\t\tALG (file) = hex, for cksum -c and xxh128sum -c.\n"
               "\t\tGiven with -md2 ... -sha512 or -xxh128, the list is used.\n"
               "\t-xxh128 XXH3 128-bit hash, printed as xxh128sum prints it.\n"
               "\t--help This text (as the only argument).\n\n",
               stdout);
    std::printf("\t%s image.img -hash=md5,sha1,sha256 > image.sums\n\tcksum -c image.sums\n", program_name);
    std::fflush(stdout);
}
