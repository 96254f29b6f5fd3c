// Duration text, the millisecond clock and the two-line error report.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/report.h"

namespace {

TEST(Report, ElapsedForms) {
    const struct {
        u64 ms;
        const char* text;
    } cases[] = {
        {0, " 0.0 "},            {999, " 0.9 "},           {1000, " 1.0 "},
        {59999, "59.9 "},        {61000, " 1:01.0 "},      {3599999, "59:59.9 "},
        {3600000, " 1:00:00.0 "}, {36000000, "10:00:00.0 "}, {u64{65536} * 3600000, " 0.0 "},
    };
    for (const auto& c : cases) {
        char buffer[48];
        format_elapsed(buffer, sizeof buffer, c.ms);
        EXPECT_STREQ(buffer, c.text) << c.ms;
    }
    testing::internal::CaptureStdout();
    print_elapsed(61000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " 1:01.0 ");
}

TEST(Report, CounterSplitArithmetic) {
    EXPECT_EQ(counter_to_ms(0, 1000000000), 0);
    EXPECT_EQ(counter_to_ms(1999999, 1000000000), 1);
    EXPECT_EQ(counter_to_ms(10000000, 10000000), 1000);
    // A counter of 100 years at 10 MHz: the naive product would overflow.
    const s64 f = 10000000;
    const s64 c = s64{100} * 365 * 24 * 3600 * f + 12345678;
    EXPECT_EQ(counter_to_ms(c, f), s64{100} * 365 * 24 * 3600 * 1000 + 1234);
    // An odd frequency, as some counters have.
    EXPECT_EQ(counter_to_ms(3579545 * 7 + 3579545 / 2 + 1, 3579545), 7500);
    EXPECT_EQ(counter_to_ms(3579545 * 7 + 3579545 / 2, 3579545), 7499) << "truncated, not rounded";
    const s64 a = now_ms(), b = now_ms();
    EXPECT_LE(a, b);
}

TEST(Report, ErrorWithKnownCode) {
    testing::internal::CaptureStdout();
    print_error(stdout, "open(missing.img)", 2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("open(missing.img)\n   ^ERROR: 2, ", 0), 0u) << out;
    EXPECT_EQ(out.back(), '\n') << "the system's text ends the line";
    EXPECT_EQ(out.find("(null)"), std::string::npos);
}

TEST(Report, ErrorWithoutText) {
    // A hash-provider status has no system text: "(null)", line left open.
    testing::internal::CaptureStderr();
    print_error(stderr, "BCryptHashData(ctx[index], data, (ULONG)length, 0)", 0xC0000225u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "BCryptHashData(ctx[index], data, (ULONG)length, 0)\n   ^ERROR: 3221226021, (null)");
}

}  // namespace
