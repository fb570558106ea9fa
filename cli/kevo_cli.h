// What the commands share at their front door, so that each is written
// once: how a path is shown in a line of output or in JSON, and whether a
// file named is where the output goes.
//
// Internal to the tools; not installed.
#pragma once

#include <string>
#include <string_view>

// The path as a line of output shows it: as it is when every character is
// printable UTF-8 other than a single quote; otherwise quoted as a POSIX
// shell reads it back ('...' for the printable runs, $'\n', $'\xff', $'\''
// for the rest), so that a path holding a newline cannot pass for two
// lines, and the text still names the very bytes.
std::string kevo_linePath(std::string_view path);

// True when the bytes are well-formed UTF-8: no stray continuation byte, no
// overlong form, no surrogate, nothing above U+10FFFF.
bool kevo_isUtf8(std::string_view text);

// STDERR_FILENO when the file at `path` is this process's standard error,
// else STDOUT_FILENO when it is its standard output, else -1: whatever the
// command printed would be appended to it, as with `kevo-edit ... f >> f`.
int kevo_outputStreamAt(const char* path);

// The bytes as lower-case hexadecimal, two digits each: how JSON gives a
// path that is not UTF-8 back byte for byte.
std::string kevo_hexBytes(std::string_view bytes);
