#include "webhalt/command_line.h"

namespace {

template <typename Char> bool isOption(const Char* argument, char letter)
{
    return argument[0] == '-' && argument[1] == Char(letter) && argument[2] == 0;
}

template <typename Char> std::size_t length(const Char* text)
{
    std::size_t n = 0;
    while (text[n] != 0) {
        n++;
    }
    return n;
}

} // namespace

template <typename Char> CommandLineError parseCommandLine(int argc, const Char* const* argv, CommandLine<Char>& out)
{
    out = {};
    if (argc < 2) {
        return CommandLineError::noConfiguration;
    }
    for (int i = 1; i < argc; i += 2) {
        if (isOption(argv[i], 'f')) {
            if (i + 1 >= argc) {
                return CommandLineError::noFilename;
            }
            out.configuration = argv[i + 1];
        } else if (isOption(argv[i], 'k')) {
            if (i + 1 >= argc) {
                return CommandLineError::noAction;
            }
            out.action = argv[i + 1];
        } else {
            return CommandLineError::unknownOption;
        }
    }
    if (out.configuration == nullptr || out.configuration[0] == 0) {
        return CommandLineError::noConfiguration;
    }
    if (out.action == nullptr) {
        return CommandLineError::noActionOption;
    }
    // A longer path would be cut to a name that may be another file.
    if (length(out.configuration) > configurationPathMax) {
        return CommandLineError::configurationTooLong;
    }
    return CommandLineError::none;
}

const char* commandLineMessage(CommandLineError error)
{
    switch (error) {
    case CommandLineError::noConfiguration:
        return "error: no Apache configuration file specified\n";
    case CommandLineError::noFilename:
        return "error: filename must be specified for -f argument\n";
    case CommandLineError::noAction:
        return "error: action must be specified for -k argument\n";
    case CommandLineError::noActionOption:
        return "error: -k must be specified\n";
    case CommandLineError::configurationTooLong:
        return "error: the configuration file path is longer than 259 characters\n";
    case CommandLineError::none:
    case CommandLineError::unknownOption:
        break;
    }
    return nullptr;
}

template CommandLineError parseCommandLine<char>(int, const char* const*, CommandLine<char>&);
template CommandLineError parseCommandLine<wchar_t>(int, const wchar_t* const*, CommandLine<wchar_t>&);
