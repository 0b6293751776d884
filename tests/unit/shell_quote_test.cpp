#include "common/shell_quote.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string quote(std::string_view s, std::size_t cap = 256) {
    std::string out(cap, 'x');
    int n = shell_quote(std::span<char>(out.data(), out.size()), s);
    if (n < 0) return "<too long>";
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// What /bin/sh makes of `word` as one argument of printf %s.
std::string shell_sees(const std::string& word) {
    std::string cmd = "printf %s " + word;
    FILE* p = popen(cmd.c_str(), "r");
    std::string got;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) got.append(buf, n);
    pclose(p);
    return got;
}

TEST(ShellQuote, OrdinaryNamesStayExactlyAsTheyAre) {
    for (const char* s : {"wds0.1", "fe80::1", "/mnt/usb1_1", "br0", "eth0.2",
                          "/var/dev/sda1", "2001:db8::1", "a@b%c+d=e,f"}) {
        EXPECT_EQ(quote(s), s);
    }
}

TEST(ShellQuote, HostileTextReachesTheCommandAsOneInertWord) {
    for (const char* s : {"wds0;reboot", "wds$(id)", "a b", "it's", "`id`", "x|y&z",
                          "''", "\\", "$HOME", "*", "a\nb", "~root", "!x", "{a,b}"}) {
        std::string q = quote(s);
        EXPECT_NE(q, s);
        EXPECT_EQ(shell_sees(q), s) << "quoted as " << q;
    }
}

TEST(ShellQuote, EmptyValueIsQuoted) { EXPECT_EQ(quote(""), "''"); }

TEST(ShellQuote, TooSmallBufferGivesNothing) {
    std::string out(4, 'x');
    EXPECT_EQ(shell_quote(std::span<char>(out.data(), out.size()), "abcd"), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(shell_quote(std::span<char>(out.data(), out.size()), "abc"), 3);
    // Worst case: every byte a quote.
    std::string all(10, '\'');
    std::string big(shell_quoted_size(all.size()), 'x');
    EXPECT_GT(shell_quote(std::span<char>(big.data(), big.size()), all), 0);
    EXPECT_EQ(shell_sees(big.c_str()), all);
}

}  // namespace
