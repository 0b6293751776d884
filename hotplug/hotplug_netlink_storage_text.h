// Small text helpers shared by the storage pass's parsers (inline: the
// daemon links no C++ runtime).
#pragma once

#include <stddef.h>

#include <string_view>

namespace hp_text {

constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline void skip_space(std::string_view& s) {
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    s.remove_prefix(i);
}

// The next whitespace-separated token (empty at the end); `s` moves past it.
inline std::string_view take_token(std::string_view& s) {
    skip_space(s);
    size_t n = 0;
    while (n < s.size() && !is_space(s[n])) ++n;
    std::string_view tok(s.data(), n);
    s.remove_prefix(n);
    return tok;
}

// An optionally signed decimal number after optional whitespace, as "%d"
// reads it. False (and `s` unchanged) when no digit follows or the value
// lies outside [lo, hi]; otherwise `s` moves past the digits.
inline bool take_number(std::string_view& s, long long lo, long long hi, long long* out) {
    std::string_view t = s;
    skip_space(t);
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    size_t n = 0;
    unsigned long long v = 0;
    constexpr unsigned long long kMax = 1ull << 62;  // far beyond every bound used
    while (n < t.size() && is_digit(t[n])) {
        if (v > kMax / 10) return false;
        v = v * 10 + (unsigned long long)(t[n] - '0');
        ++n;
    }
    if (n == 0) return false;
    long long val = neg ? -(long long)v : (long long)v;
    if (val < lo || val > hi) return false;
    t.remove_prefix(n);
    s = t;
    *out = val;
    return true;
}

}  // namespace hp_text
