// Shell runner and process lookup shared by the device handlers.
#pragma once

// Runs `command` with /bin/sh -c in the caller's environment and waits for it.
// Returns 1 for a null command, -1 when fork or the wait fails, otherwise the
// raw wait status of the shell (0 = exit code 0, code n = n << 8).
int zorsystem(const char* command);

// Process id of the first process in /proc whose flattened command line
// contains `pattern`, or 0 when none does.
int find_pid_by_name(const char* pattern);

// Joins the NUL-separated arguments in `buf` in place, with nothing between
// them; stops at the first empty argument. `buf` must hold two NUL bytes
// behind the data (the reader zero-fills a buffer one byte longer than it reads).
void flatten_cmdline(char* buf);
