#include "UpdaterCommandLine.h"

#include "TerminalTexts.h"

#include <charconv>

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

bool UpdaterModeOptionTakesValue(std::string_view option) {
    return option == "--guid";
}

std::string TakeUpdaterModeValue(std::string_view option, std::string_view value,
                                 UpdaterModeOptions& options) {
    if (option != "--guid") {
        return UnknownOption(std::string(option));
    }
    options.guid = ParseGuid(value);
    return options.guid ? std::string() : kBadGuid;
}

std::optional<std::uint64_t> ParseGuid(std::string_view text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 16) {
        return std::nullopt;
    }
    std::uint64_t guid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), guid, 16);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return guid;
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
    if (options.guid && options.mode == Mode::Window) {
        // The window updates the first Ka it finds.
        return kGuidWithoutMode;
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
        const auto equals = argument.find('=');
        const std::string option = argument.substr(0, equals);
        if (UpdaterModeOptionTakesValue(option)) {
            std::string value;
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (index + 1 < arguments.size()) {
                value = arguments[++index];
            } else {
                return fail(OptionNeedsValue(option));
            }
            if (std::string why = TakeUpdaterModeValue(option, value, result.options);
                !why.empty()) {
                return fail(BadOptionValue(option, value, why));
            }
            continue;
        }
        if (!TakeUpdaterModeOption(argument, result.options)) {
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
