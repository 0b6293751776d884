// Makes a value safe to paste into a /bin/sh command line.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// True when `s` is non-empty and made only of letters, digits and
// "_@%+=:,./-": such a value means the same to the shell with or without
// quotes, so it is pasted unchanged (wds0.1, fe80::1, /mnt/usb1_1).
bool shell_word_is_plain(std::string_view s);

// Writes the shell form of `s` into `out`, NUL-terminated: unchanged when it
// is plain, otherwise single-quoted with each embedded ' written as '\''.
// Returns the length written, or -1 (and an empty `out`) when it does not fit.
int shell_quote(std::span<char> out, std::string_view s);

// Room needed in the worst case for a value of `n` bytes (every byte a quote).
constexpr std::size_t shell_quoted_size(std::size_t n) { return 4 * n + 3; }
