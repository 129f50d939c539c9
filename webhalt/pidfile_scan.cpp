#include "webhalt/pidfile_scan.h"

#include <algorithm>
#include <cstdint>

namespace {

template <typename Char> bool isBlank(Char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The path of the directive if the line holds one, else an empty view.
template <typename Char> std::basic_string_view<Char> directivePath(std::basic_string_view<Char> line)
{
    static constexpr Char word[] = {'P', 'i', 'd', 'F', 'i', 'l', 'e'};
    const std::basic_string_view<Char> directive(word, sizeof(word) / sizeof(word[0]));
    // The word must stand alone: "PidFileX /path" names another directive.
    if (line.substr(0, directive.size()) != directive || line.size() == directive.size() ||
        !isBlank(line[directive.size()])) {
        return {};
    }
    std::size_t start = directive.size();
    while (start < line.size() && isBlank(line[start])) {
        start++;
    }
    if (start < line.size() && line[start] == '"') {
        std::basic_string_view<Char> quoted = line.substr(start + 1);
        return quoted.substr(0, quoted.find(Char('"')));
    }
    std::size_t end = start;
    while (end < line.size() && !isBlank(line[end])) {
        end++;
    }
    return line.substr(start, end - start);
}

} // namespace

template <typename Char> PidFileScan scanPidFile(std::basic_string_view<Char> text, Char (&path)[pidFilePathSize])
{
    path[0] = 0;
    while (!text.empty()) {
        std::size_t newline = text.find(Char('\n'));
        std::basic_string_view<Char> line = text.substr(0, newline);
        text = newline == text.npos ? std::basic_string_view<Char>() : text.substr(newline + 1);
        line = line.substr(0, line.find(Char(0)));
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::basic_string_view<Char> found = directivePath(line);
        if (found.empty()) {
            continue;
        }
        // A path that does not fit is refused rather than cut: a shortened
        // path could name another file.
        if (found.size() > pidFilePathMax) {
            return PidFileScan::tooLong;
        }
        std::copy(found.begin(), found.end(), path);
        path[found.size()] = 0;
        return PidFileScan::found;
    }
    return PidFileScan::missing;
}

template <typename Char> bool parsePid(std::basic_string_view<Char> text, int& pid)
{
    // Strict: a file that holds more than the pid ("1234abc", "1234 1", a
    // sign, text before it) is not a pid file the server wrote, and a number
    // taken from it could name any process.
    std::int64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    if (i == 0) {
        return false;
    }
    for (; i < text.size(); i++) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') {
            return false;
        }
    }
    pid = static_cast<int>(value);
    return true;
}

template PidFileScan scanPidFile<char>(std::string_view, char (&)[pidFilePathSize]);
template PidFileScan scanPidFile<wchar_t>(std::wstring_view, wchar_t (&)[pidFilePathSize]);
template bool parsePid<char>(std::string_view, int&);
template bool parsePid<wchar_t>(std::wstring_view, int&);
