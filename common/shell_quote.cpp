#include "common/shell_quote.h"

namespace {

constexpr bool plain_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
    case '_': case '@': case '%': case '+': case '=':
    case ':': case ',': case '.': case '/': case '-':
        return true;
    default:
        return false;
    }
}

}  // namespace

bool shell_word_is_plain(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!plain_char(c)) return false;
    return true;
}

int shell_quote(std::span<char> out, std::string_view s) {
    if (out.empty()) return -1;
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 >= out.size()) return false;  // keep room for the NUL
        out[n++] = c;
        return true;
    };
    bool ok = true;
    if (shell_word_is_plain(s)) {
        for (char c : s) ok = ok && put(c);
    } else {
        ok = put('\'');
        for (char c : s) {
            if (c == '\'') {
                ok = ok && put('\'') && put('\\') && put('\'') && put('\'');
            } else {
                ok = ok && put(c);
            }
        }
        ok = ok && put('\'');
    }
    if (!ok) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return static_cast<int>(n);
}
