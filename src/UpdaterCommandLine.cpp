#include "UpdaterCommandLine.h"

#include "texts/TerminalTexts.h"

bool TakeUpdaterModeOption(std::string_view argument, UpdaterModeOptions& options) {
    using Mode = UpdaterModeOptions::Mode;
    if (argument == "--status" || argument == "--update") {
        const Mode mode = argument == "--status" ? Mode::Status : Mode::Update;
        options.bothModes =
            options.bothModes || (options.mode != Mode::Window && options.mode != mode);
        options.mode = mode;
    } else if (argument == "--json") {
        options.json = true;
    } else if (argument == "--yes" || argument == "-y") {
        options.yes = true;
    } else if (argument == "--allow-downgrade") {
        options.allowDowngrade = true;
    } else if (argument == "--allow-reinstall") {
        options.allowReinstall = true;
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
        return kStatusWithUpdate;
    }
    if (options.json && options.mode != Mode::Status) {
        return kJsonWithoutStatus;
    }
    if (options.yes && options.mode != Mode::Update) {
        return kYesWithoutUpdate;
    }
    if (options.allowDowngrade && options.mode != Mode::Update) {
        return kAllowDowngradeWithoutUpdate;
    }
    if (options.allowReinstall && options.mode != Mode::Update) {
        return kAllowReinstallWithoutUpdate;
    }
    if (options.verbose && options.mode == Mode::Window) {
        // The window's program writes its diagnostic lines anyway.
        return kVerboseWithoutMode;
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
        if (argument == "--version") {
            result.outcome = UpdaterCommandLine::Outcome::ShowVersion;
            return result;
        }
        if (argument == "-y") {
            TakeUpdaterModeOption(argument, result.options);
            continue;
        }
        if (!argument.starts_with("--")) {
            return fail(UnexpectedArgument(argument));
        }
        if (!TakeUpdaterModeOption(argument, result.options)) {
            const auto equals = argument.find('=');
            if (equals != std::string::npos &&
                TakeUpdaterModeOption(std::string_view(argument).substr(0, equals),
                                      result.options)) {
                return fail(OptionTakesNoValue(argument.substr(0, equals)));
            }
            return fail(UnknownOption(argument));
        }
    }
    if (std::string conflict = CheckUpdaterModeOptions(result.options); !conflict.empty()) {
        return fail(std::move(conflict));
    }
    return result;
}

std::string UpdaterModeUsage() {
    return kUsageModes;
}

std::string UpdaterUsage(const std::string& programName) {
    return UsageText(programName);
}

std::string UpdaterVersionLine(const std::string& executableName) {
    return VersionLine(executableName, KA_PROGRAM_VERSION);
}
