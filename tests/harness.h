#pragma once
// End-to-end helpers: run the built binary as a user would, with real files
// in a scoped temporary folder, separate standard output and error, and the
// exit status.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

struct result {
    int status = -1;   // exit status, or 128 + signal
    std::string out;   // standard output
    std::string err;   // standard error
    bool timed_out = false;  // killed by options.timeout_ms
    // Milliseconds from the SIGINT of options.sigint_after_ms to the exit
    // (-1 when none was sent before the exit).
    double sigint_to_exit_ms = -1;
};

struct options {
    std::string input;                        // fed to standard input (closed after)
    bool input_short_reads = false;           // feed it in small pieces with pauses
    bool input_stays_open = false;            // after the input, keep the pipe open and idle
    std::string cwd;                          // working folder ("" = current)
    std::map<std::string, std::string> env;   // added to the environment
    int sigint_after_ms = -1;                 // send SIGINT after this long
    int sigkill_after_ms = -1;                // send SIGKILL after this long
    std::string stdout_path;                  // standard output to this file instead
    bool stdout_unread = false;               // standard output into a pipe nobody reads
    int timeout_ms = -1;                      // SIGKILL after this long (result.timed_out)
    int signal_number = 0;                    // send this signal, the child starting with its
    int signal_after_ms = -1;                 //   default disposition, after this long
    int stdin_fd = -1;                        // standard input from this descriptor instead
    int stdout_fd = -1;                       // standard output to this descriptor (shared
                                              //   with the caller: same offset, same mode)
    bool close_stdin = false;                 // the child starts with descriptor 0,
    bool close_stdout = false;                //   1 or 2 closed
    bool close_stderr = false;
};

// The binary under test: $ZEF_BIN, else the one built with the tests. With
// $ZEF_WRAP (e.g. "wine") the binary runs through that command.
std::string zef_path();
bool under_wine();

result run_zef(const std::vector<std::string>& args, const options& o = {});
// sh -c COMMAND; its standard output.
std::string shell(const std::string& command, int* status = nullptr);

struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);
// Deterministic pseudo-random bytes.
std::string random_bytes(size_t n, unsigned seed);
// Hex digest by an outside tool: "sha1sum", "md5sum", ... or "openssl dgst -md4 -r".
std::string tool_digest(const std::string& tool, const std::string& path);
bool is_root();
// A loop device over `backing` (root only); "" when unavailable.
std::string attach_loop(const std::string& backing, const std::string& extra = "");
void detach_loop(const std::string& dev);
// Options: run in `cwd`; and with variables added to the environment; and
// with standard output into a file.
options in_dir(const std::string& cwd);
options with_env(const std::string& cwd, std::map<std::string, std::string> env);
options stdout_to(const std::string& cwd, const std::string& path);

// Single-quoted for sh.
std::string sq(const std::string& s);
// Length of a file, -1 when it is missing.
long long file_length(const std::string& path);
// Equal bytes; otherwise where the two first part (no megabytes printed).
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want);
// cmp's verdict on two files.
::testing::AssertionResult same_file(const std::string& got, const std::string& want);
// The exit status and standard error, for a failure message.
std::string status_text(const result& r);

// A loop device for the life of the object ("" when unavailable).
struct loop_device {
    std::string dev;
    loop_device(const std::string& backing, const std::string& extra = "") : dev(attach_loop(backing, extra)) {}
    ~loop_device() { detach_loop(dev); }
    loop_device(const loop_device&) = delete;
    loop_device& operator=(const loop_device&) = delete;
};

// The FUSE file system of tests/fuse_badfile running in a child, mounted on
// DIR/mnt with its one file DIR/mnt/disk.img of `size` bytes: reads failing
// in [bad_start, bad_start + bad_len); with flip_at >= 0 writable, keeping
// byte flip_at inverted. Unmounted and the child gone when this ends.
// Needs root, /dev/fuse and the built program; `mounted` tells.
struct fuse_disk {
    std::string mnt, file, log;
    int pid = -1;
    bool mounted = false;

    fuse_disk(const std::string& dir, size_t size, size_t bad_start, size_t bad_len, long long flip_at = -1);
    ~fuse_disk();
    fuse_disk(const fuse_disk&) = delete;
    fuse_disk& operator=(const fuse_disk&) = delete;
    // Why it cannot run here, or "" when it can.
    static std::string unavailable();
};

// Lower-case hex of bytes (digests computed in the tests).
std::string hex_of(const unsigned char* bytes, size_t n);
// Arguments joined by blanks (for traces); `a` followed by `b`.
std::string join(const std::vector<std::string>& words);
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

}  // namespace e2e
