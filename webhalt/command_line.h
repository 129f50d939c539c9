// The command line of webhalt, the same on every platform:
//   webhalt -f <configuration file> -k <action>
// The options come in pairs, in either order; a later one replaces an
// earlier one.
#pragma once

#include <cstddef>

// The longest configuration file path (the tool keeps it in a buffer of 260
// characters with its terminator).
constexpr std::size_t configurationPathMax = 259;

// Exit statuses: a bad command line or a name that does not fit, nothing done
// (-1); the server could not be found or signalled (1); signalled (0).
constexpr int exitRefused = -1;
constexpr int exitNotSignalled = 1;
constexpr int exitSignalled = 0;

enum class CommandLineError {
    none,
    noConfiguration,      // no arguments, no -f or an empty file name
    noFilename,           // -f is the last argument
    noAction,             // -k is the last argument
    noActionOption,       // no -k
    unknownOption,        // anything but -f or -k where an option belongs
    configurationTooLong, // longer than configurationPathMax
};

template <typename Char> struct CommandLine {
    const Char* configuration = nullptr;
    const Char* action = nullptr;
};

// argv[0] is the program.
template <typename Char> CommandLineError parseCommandLine(int argc, const Char* const* argv, CommandLine<Char>& out);

// The line written to standard error for an error, or nullptr for none (an
// unknown option is refused without a word).
const char* commandLineMessage(CommandLineError error);
