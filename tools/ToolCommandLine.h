// The command line every tool of the repository shares: --help and --version are answered
// before anything else is looked at, an argument that begins with '-' is an option and never
// a path (a file of such a name is given as ./-name, or after "--"), and a wrong command line
// ends the tool with status 2 and one line that says what is wrong.
#ifndef KA_TOOLS_TOOLCOMMANDLINE_H
#define KA_TOOLS_TOOLCOMMANDLINE_H

#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The build names the release; a tool compiled by hand (a packaging script) does not know it.
#ifndef KA_PROGRAM_VERSION
#define KA_PROGRAM_VERSION "(built outside the project's build)"
#endif

namespace katools {

struct ToolArguments {
    // Set when the tool is done: the exit status of --help, --version or a wrong command line.
    std::optional<int> exitStatus;
    std::map<std::string, std::string> options;
    std::vector<std::string> operands;
};

// valued: the options that take the next argument as their value.
inline ToolArguments ParseToolArguments(int argc, char** argv, std::string_view name,
                                        std::string_view usage,
                                        const std::set<std::string_view>& valued,
                                        std::size_t operands) {
    ToolArguments parsed;
    const auto wrong = [&](const std::string& what) {
        std::cerr << name << ": " << what << "\nTry '" << name
                  << " --help' for more information.\n";
        parsed.exitStatus = 2;
        return parsed;
    };
    bool optionsEnded = false;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument == "--help") {
            std::cout << usage;
            parsed.exitStatus = 0;
            return parsed;
        } else if (!optionsEnded && argument == "--version") {
            std::cout << name << " (ka-firmware-updater) " << KA_PROGRAM_VERSION << "\n";
            parsed.exitStatus = 0;
            return parsed;
        } else if (!optionsEnded && argument.starts_with('-')) {
            if (!valued.contains(argument)) {
                return wrong("unknown option '" + std::string(argument) + "'");
            }
            // Nothing that begins with '-' is a value: in "--seed --help" the seed is missing.
            if (index + 1 >= argc || argv[index + 1][0] == '-') {
                return wrong("option " + std::string(argument) + " needs a value");
            }
            parsed.options[std::string(argument)] = argv[++index];
        } else {
            parsed.operands.emplace_back(argument);
        }
    }
    if (parsed.operands.size() != operands) {
        return wrong("expected " + std::to_string(operands) +
                     (operands == 1 ? " argument" : " arguments") + ", got " +
                     std::to_string(parsed.operands.size()));
    }
    return parsed;
}

}  // namespace katools

#endif
