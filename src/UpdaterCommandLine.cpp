#include "UpdaterCommandLine.h"

#include <sstream>

bool TakeUpdaterModeOption(std::string_view argument, UpdaterModeOptions& options) {
    using Mode = UpdaterModeOptions::Mode;
    if (argument == "--status" || argument == "--update") {
        const Mode mode = argument == "--status" ? Mode::Status : Mode::Update;
        options.bothModes =
            options.bothModes || (options.mode != Mode::Window && options.mode != mode);
        options.mode = mode;
    } else if (argument == "--json") {
        options.json = true;
    } else if (argument == "--yes") {
        options.yes = true;
    } else if (argument == "--allow-downgrade") {
        options.allowDowngrade = true;
    } else if (argument == "--verbose") {
        options.verbose = true;
    } else {
        return false;
    }
    return true;
}

std::string CheckUpdaterModeOptions(const UpdaterModeOptions& options) {
    using Mode = UpdaterModeOptions::Mode;
    if (options.bothModes) {
        return "--status and --update cannot be given together";
    }
    if (options.json && options.mode != Mode::Status) {
        return "--json goes with --status only";
    }
    if (options.yes && options.mode != Mode::Update) {
        return "--yes goes with --update only";
    }
    if (options.allowDowngrade && options.mode != Mode::Update) {
        return "--allow-downgrade goes with --update only";
    }
    if (options.verbose && options.mode == Mode::Window) {
        // The window's program writes its diagnostic lines anyway.
        return "--verbose goes with --status or --update only";
    }
    return {};
}

UpdaterCommandLine ParseUpdaterCommandLine(const std::vector<std::string>& arguments) {
    UpdaterCommandLine result;
    const auto fail = [&result](std::string error) {
        result.outcome = UpdaterCommandLine::Outcome::Error;
        result.error = std::move(error);
        return result;
    };
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            result.outcome = UpdaterCommandLine::Outcome::ShowHelp;
            return result;
        }
        if (!argument.starts_with("--")) {
            return fail("unexpected argument '" + argument + "'");
        }
        if (!TakeUpdaterModeOption(argument, result.options)) {
            const auto equals = argument.find('=');
            if (equals != std::string::npos &&
                TakeUpdaterModeOption(std::string_view(argument).substr(0, equals),
                                      result.options)) {
                return fail("option " + argument.substr(0, equals) + " takes no value");
            }
            return fail("unknown option '" + argument + "'");
        }
    }
    if (std::string conflict = CheckUpdaterModeOptions(result.options); !conflict.empty()) {
        return fail(std::move(conflict));
    }
    return result;
}

std::string UpdaterModeUsage() {
    return "From a terminal (no window, no display needed):\n"
           "  --status                 read the bus once and say whether a Ka is there, its\n"
           "                           GUID, serial number and installed firmware, the firmware\n"
           "                           this program would install and what an update would do\n"
           "  --json                   with --status: the same as one JSON object\n"
           "  --update                 update the Ka: asks \"Update the Ka from A to B? [y/N]\"\n"
           "                           on a terminal; without one, writes nothing unless --yes\n"
           "  --yes                    with --update: do not ask, update\n"
           "  --allow-downgrade        with --update: a downgrade may be installed as well\n"
           "  --verbose                the program's diagnostic lines go to standard error\n"
           "\n"
           "Exit status of --status and --update:\n"
           "  0  a Ka was found (--status); both images were installed (--update)\n"
           "  1  the update failed: the sentence and the update record say what\n"
           "  2  the command line was wrong\n"
           "  4  no Ka found (none there, this user may not open it, or another program\n"
           "     holds it)\n"
           "  5  nothing was written: no consent (no terminal to ask and no --yes, the\n"
           "     answer was no, or a downgrade without --allow-downgrade), or the program\n"
           "     was asked to end before the update began\n"
           "  6  no update is possible: no firmware this program may install, or Final Cut\n"
           "     Pro is running\n"
           "  7  another copy of the updater is running\n";
}

std::string UpdaterUsage(const std::string& programName) {
    std::ostringstream usage;
    usage << "Usage: " << programName << " [--status [--json] | --update [--yes]"
          << " [--allow-downgrade]] [--verbose]\n"
          << "The firmware updater for the Ka FireWire unit. Without options it shows its\n"
          << "window.\n"
          << "\n"
          << UpdaterModeUsage() << "\n"
          << "  -h, --help               show this text\n";
    return usage.str();
}
