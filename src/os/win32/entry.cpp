// The wide-character entry: arguments become UTF-8 for the core.
#include <string>
#include <vector>

#include "app/G_APP.h"
#include "os/win32/win32.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(os::win32::narrow(argv[i]));
    std::vector<char*> argv_utf8;
    argv_utf8.reserve(args.size() + 1);
    for (std::string& a : args) argv_utf8.push_back(a.data());
    argv_utf8.push_back(nullptr);
    return zef_main(argc, argv_utf8.data());
}
