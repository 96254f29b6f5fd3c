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
// Equal bytes; otherwise where the two first part (no megabytes printed).
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want);
// Lower-case hex of bytes (digests computed in the tests).
std::string hex_of(const unsigned char* bytes, size_t n);
// Arguments joined by blanks (for traces); `a` followed by `b`.
std::string join(const std::vector<std::string>& words);
std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);

}  // namespace e2e
