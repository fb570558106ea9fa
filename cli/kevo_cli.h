// What the commands share at their front door, so that each is written
// once: how a path is shown in a line of output or in JSON.
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

// The bytes as lower-case hexadecimal, two digits each: how JSON gives a
// path that is not UTF-8 back byte for byte.
std::string kevo_hexBytes(std::string_view bytes);
