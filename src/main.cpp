// The entry's body: console set-up, the partition dump switches, the run.
#include <cstdio>
#include <cstring>

#include "app/G_APP.h"
#include "modes/modes.h"
#include "os/console.h"

int zef_main(int argc, char** argv) {
    os::init_console();
    if (argc > 1 && equals_any_case(argv[1], "-mbr")) return static_cast<int>(printMBR("sdb_windows.img"));
    if (argc > 1 && equals_any_case(argv[1], "-gpt")) return static_cast<int>(printMBR("sda_gpt.img"));
    int status;
    {
        G_APP app(argc, argv);
        if (os::is_debugger_present()) {
            std::fputs("\n[finished] Press ENTER to exit . . .", stderr);
            os::read_char();
        }
        app.clean_up();
        status = app.exit_status();
    }
    std::fflush(stdout);
    return status;
}
