#include "common/shell_quote.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Every byte value 1-255 alone, and mixes of them, go through one /bin/sh
// run and come back exactly. The shell runs in a directory where globs
// match files and with a HOME of its own, so that an unquoted *, ?, [...]
// or ~ would show. Bytes outside the plain set (letters, digits and
// "_@%+=:,./-") are always quoted, also those that an unquoted round trip
// happens to survive here (a lone "[", "!", "{").
TEST(ShellQuote, EveryByteAndMixesComeBackFromTheShell) {
    std::vector<std::string> words;
    std::string all;
    for (int b = 1; b < 256; ++b) {
        char c = static_cast<char>(b);
        words.emplace_back(1, c);
        all += c;
        bool plain = std::isalnum(b) || std::strchr("_@%+=:,./-", b) != nullptr;
        std::string q = quote(std::string(1, c));
        if (plain) {
            EXPECT_EQ(q, std::string(1, c)) << "byte " << b;
        } else {
            EXPECT_EQ(q.front(), '\'') << "byte " << b << " left unquoted";
        }
    }
    words.push_back(all);
    words.emplace_back(all.rbegin(), all.rend());
    for (const char* mix : {"[ab]", "a*", "?", "~/x", "#x", "x#y", "a b\tc\nd", "$HOME", "'\"'\"",
                            "\\'\\", "`echo x`", "$(echo x)", "a<b>c", "(x)", "!x", "x;y&z|w",
                            "\x80\xff\x01'", "eth0.2"})
        words.emplace_back(mix);

    char dir[] = "/tmp/shell_quote_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string cmd = "cd ";
    cmd += dir;
    cmd += " && : >a && : >b && HOME=/home-of-the-test && printf '%s\\0'";
    for (const std::string& w : words) {
        cmd += ' ';
        cmd += quote(w, shell_quoted_size(w.size()));
    }
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string got;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) got.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    std::string rm = "rm -rf ";
    rm += dir;
    EXPECT_EQ(std::system(rm.c_str()), 0);

    std::vector<std::string> back;
    for (size_t start = 0, end; (end = got.find('\0', start)) != std::string::npos; start = end + 1)
        back.push_back(got.substr(start, end - start));
    ASSERT_EQ(back.size(), words.size());
    for (size_t i = 0; i < words.size(); ++i) EXPECT_EQ(back[i], words[i]) << "word " << i;
}

}  // namespace
