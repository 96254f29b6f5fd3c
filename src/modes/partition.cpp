// The partition-table dump: the MBR of the first sector of a disk image.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/report.h"
#include "io/G_FILE.h"
#include "modes/modes.h"
#include "os/console.h"

namespace {

u32 le32(const u8* p) {
    return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
           (static_cast<u32>(p[3]) << 24);
}

constexpr u32 sector_bytes = 512;
// Unbuffered reads want the buffer on the device's unit; 4096 covers
// 512-byte and 4096-byte sectors alike.
constexpr u32 sector_align = 4096;

}  // namespace

void print_partition(int number, const u8* entry) {
    const u8 state = entry[0];
    const char* mark = state == 0x00 ? " " : state == 0x80 ? "*" : "?";
    const u32 first = le32(entry + 8);
    const u32 sectors = le32(entry + 12);
    const u32 after = first + sectors;  // 32-bit, as the table holds it
    const u32 last = after == 0 ? 0 : after - 1;
    std::printf("%d %s  %02X  [%10u - %10u][%10u %7u %4u]\n", number, mark, entry[4], first, last, sectors,
                sectors >> 11, sectors >> 21);
}

u32 printMBR(const char* image_name) {
    alignas(sector_align) u8 sector[sector_align];
    std::memset(sector, 0, sizeof sector);
    G_FILE hHDD;
    hHDD.open(image_name, os::generic_read, os::open_existing, os::flag_no_buffering);
    if (!hHDD.is_open) return hHDD.error_r;

    s64 n = hHDD.read(sector, sector_bytes);
    if (n < 0 && hHDD.error_r == os::err::invalid_parameter) {
        // A device of 4096-byte sectors refuses a 512-byte unbuffered read.
        if (hHDD.seek(0, os::file_begin) == 0) n = hHDD.read(sector, sector_align);
    }
    if (n < 0) {
        print_error(stderr, "hHDD.read()", hHDD.error_r);
        hHDD.close();
        return hHDD.error_r;
    }
    if (n < static_cast<s64>(sector_bytes)) {
        std::printf("printMBR() requested [%d] bytes but ReadFile() returned %lld ", static_cast<int>(sector_bytes),
                    static_cast<long long>(n));
        std::fflush(stdout);
        hHDD.close();
        return 0xFFFFFFFFu;
    }

    const u16 boot_signature = static_cast<u16>(sector[510] | (sector[511] << 8));
    const bool is_mbr = sector[510] == 0x55 && sector[511] == 0xAA;
    std::printf("\nMBR signature: %04X [%s]\tDisk signature: %08X\n\n", boot_signature, is_mbr ? "MBR" : "unknown",
                le32(sector + 440));
    std::printf("# b type [ START LBA -    END LBA][   SECTORS      MB   GB]\n");
    for (int i = 0; i < 4; ++i) print_partition(i + 1, sector + 446 + 16 * i);
    hHDD.close();

    // The table's bytes as 8-bit text up to the first zero, never past the
    // sector's last byte: each byte one character of the console's code page.
    size_t length = 0;
    while (446 + length < sector_bytes && sector[446 + length] != 0) ++length;
    const std::string text = os::eight_bit_text(sector + 446, length);
    std::fputc('\n', stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}
