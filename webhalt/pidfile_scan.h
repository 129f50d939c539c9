// The part of webhalt that reads text: the PidFile directive of a web server
// configuration and the process id in a pid file.  Both are pure functions on
// a buffer, the same for the Windows tool (wide text) and the Linux tool
// (bytes), so that the readers around them stay thin.
#pragma once

#include <cstddef>
#include <string_view>

// The longest pid-file path the directive may give, and the buffer that holds
// it with its terminator.
constexpr std::size_t pidFilePathMax = 260;
constexpr std::size_t pidFilePathSize = pidFilePathMax + 1;

enum class PidFileScan {
    found,   // path holds the directive's path
    missing, // no line holds the directive
    tooLong, // the first directive's path is longer than pidFilePathMax
};

// Finds the first line that starts with the word PidFile, one or more blanks
// and a path: either a double-quoted path (blanks kept; it ends at the closing
// quote or at the end of the line) or a word that ends at the next blank.  A
// line that starts with anything else (blanks, a comment sign) never holds the
// directive, and neither does one whose path is empty.  Lines end at a line
// feed; a carriage return before it and anything after a NUL are not part of
// the line.  path is terminated in every case and is empty unless found.
template <typename Char> PidFileScan scanPidFile(std::basic_string_view<Char> text, Char (&path)[pidFilePathSize]);

// How much of a pid file is read: enough for any pid and the blanks around
// it, and an end to the read when the path names a device that never ends.
constexpr std::size_t pidTextMax = 128;

// The largest configuration file read: far beyond any server's, and an end
// to the read when the path names a huge file or a device that never ends.
constexpr std::size_t configurationTextMax = std::size_t{16} * 1024 * 1024;

// Reads the pid of a pid file: decimal digits from the very start of the
// text, then nothing but blanks (space, tab) and line ends (CR, LF).  False
// for anything else (no digits, a sign, text before or after the number) and
// for a number that does not fit a signed 32-bit integer.
template <typename Char> bool parsePid(std::basic_string_view<Char> text, int& pid);
