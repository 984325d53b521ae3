#include "SimulatorOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string_view>

namespace kasim {

namespace {

constexpr std::uint32_t kEditorSignature = 'KeyG';
constexpr unsigned kMostErasePolls = 1000;
constexpr double kLongestAppearDelaySeconds = 24.0 * 60 * 60;

// A whole number in decimal or, with 0x, hexadecimal; nothing else around it.
std::optional<std::uint64_t> ParseWholeNumber(std::string_view text, std::uint64_t largest) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > largest) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseSeconds(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0.0 || value > kLongestAppearDelaySeconds) {
        return std::nullopt;
    }
    return value;
}

bool IsPrintableAscii(std::string_view text) {
    for (const char character : text) {
        if (character < 0x20 || character > 0x7E) {
            return false;
        }
    }
    return true;
}

std::uint32_t SignatureFromText(std::string_view text) {
    std::uint32_t signature = 0;
    for (const char character : text) {
        signature = (signature << 8) | static_cast<std::uint8_t>(character);
    }
    return signature;
}

class CommandLineParser {
  public:
    explicit CommandLineParser(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    ParsedCommandLine Parse() {
        for (index_ = 1; index_ < arguments_.size(); ++index_) {
            std::string_view argument = arguments_[index_];
            if (argument == "--help" || argument == "-h") {
                result_.outcome = ParsedCommandLine::Outcome::ShowHelp;
                return result_;
            }
            if (argument == "--version") {
                result_.outcome = ParsedCommandLine::Outcome::ShowVersion;
                return result_;
            }
            if (argument == "-y") {
                argument = "--yes";
            }
            if (!argument.starts_with("--")) {
                return Fail("unexpected argument '" + std::string(argument) + "'");
            }
            std::optional<std::string_view> attached;
            if (const auto equals = argument.find('='); equals != std::string_view::npos) {
                attached = argument.substr(equals + 1);
                argument = argument.substr(0, equals);
            }
            if (!ParseOption(argument, attached)) {
                return result_;
            }
        }
        const SimulatorOptions& options = result_.options;
        if (std::string conflict = CheckUpdaterModeOptions(options.mode); !conflict.empty()) {
            return Fail(std::move(conflict));
        }
        if (options.mode.InTerminal() && (options.pressUpdate || options.answerAlerts != 0)) {
            // Nothing is pressed and no alert is shown without the window.
            return Fail(std::string(options.pressUpdate ? "--press-update" : "--answer-alerts") +
                        " goes with the window only, not with --status or --update");
        }
        return RefuseUnitOptionsOnReplay();
    }

  private:
    // A replay's unit is the record's: an option that would shape another one would be
    // ignored, and a user would take the replay for one of the unit asked for.
    ParsedCommandLine RefuseUnitOptionsOnReplay() {
        if (!result_.options.replayFile.empty() && unitOption_) {
            return Fail("option " + std::string(*unitOption_) +
                        " cannot be used with --replay: the record's unit answers");
        }
        return result_;
    }

    void NoteUnitOption(std::string_view name) {
        static constexpr std::string_view kUnitOptions[] = {
            "--serial", "--software-version", "--product-revision", "--no-unit", "--appear-after",
            "--fault",  "--erase-polls",      "--second-ka"};
        if (!unitOption_ && std::find(std::begin(kUnitOptions), std::end(kUnitOptions), name) !=
                                std::end(kUnitOptions)) {
            unitOption_ = name;
        }
    }

    // False when parsing has to stop (the result then holds the error).
    bool ParseOption(std::string_view name, std::optional<std::string_view> attached) {
        SimulatorOptions& options = result_.options;
        NoteUnitOption(name);
        if (name == "--no-unit" || name == "--editor-running" || name == "--no-pauses" ||
            name == "--press-update") {
            if (attached) {
                Fail("option " + std::string(name) + " takes no value");
                return false;
            }
            if (name == "--no-unit") {
                options.unit.present = false;
            } else if (name == "--editor-running") {
                options.pretendProcesses.push_back(kEditorSignature);
            } else if (name == "--no-pauses") {
                options.noPauses = true;
            } else {
                options.pressUpdate = true;
            }
            return true;
        }

        static constexpr std::string_view kValueOptions[] = {
            "--software-version", "--product-revision",
            "--serial",           "--appear-after",
            "--erase-polls",      "--fault",
            "--pretend-process",  "--trace",
            "--answer-alerts",    "--firmware",
            "--replay",           "--second-ka",
        };
        bool known = UpdaterModeOptionTakesValue(name);
        for (const std::string_view option : kValueOptions) {
            known = known || option == name;
        }
        if (!known && TakeUpdaterModeOption(name, options.mode)) {
            if (attached) {
                Fail("option " + std::string(name) + " takes no value");
                return false;
            }
            return true;
        }
        if (!known) {
            Fail("unknown option '" + std::string(name) + "'");
            return false;
        }
        std::string_view value;
        if (attached) {
            value = *attached;
        } else if (index_ + 1 < arguments_.size()) {
            value = arguments_[++index_];
        } else {
            Fail("option " + std::string(name) + " needs a value");
            return false;
        }

        const auto bad = [&](std::string_view why) {
            Fail("bad value '" + std::string(value) + "' for " + std::string(name) + ": " +
                 std::string(why));
            return false;
        };
        if (UpdaterModeOptionTakesValue(name)) {
            if (std::string why = TakeUpdaterModeValue(name, value, options.mode); !why.empty()) {
                return bad(why);
            }
        } else if (name == "--second-ka") {
            const auto guid = ParseGuid(value);
            if (!guid || *guid == options.unit.guid) {
                return bad("expected a GUID of 16 hex digits other than the first Ka's");
            }
            options.secondKaGuid = *guid;
        } else if (name == "--software-version" || name == "--product-revision") {
            const auto word = ParseWholeNumber(value, std::numeric_limits<std::uint32_t>::max());
            if (!word) {
                return bad("expected a 32-bit number, e.g. 0x00030005");
            }
            (name == "--software-version" ? options.unit.softwareVersion
                                          : options.unit.productRevision) =
                static_cast<std::uint32_t>(*word);
        } else if (name == "--serial") {
            if (value.size() > kSerialNumberBytes || !IsPrintableAscii(value)) {
                return bad("expected at most 8 printable ASCII characters");
            }
            options.unit.serialNumber = SerialNumberFromText(value);
        } else if (name == "--appear-after") {
            const auto seconds = ParseSeconds(value);
            if (!seconds) {
                return bad("expected seconds from 0 to 86400");
            }
            options.appearAfterSeconds = *seconds;
        } else if (name == "--erase-polls") {
            const auto polls = ParseWholeNumber(value, kMostErasePolls);
            if (!polls) {
                return bad("expected a whole number from 0 to 1000");
            }
            options.unit.erasePolls = static_cast<unsigned>(*polls);
        } else if (name == "--fault" && value == "swap-unit") {
            options.swapUnit = true;
        } else if (name == "--fault" && value == "identity-read-fail") {
            options.identityReadFail = true;
        } else if (name == "--fault") {
            const auto fault = ParseImageFault(value);
            if (!fault) {
                return bad("expected KIND[@OFFSET][:IMAGE], see --help");
            }
            options.imageFaults.push_back(*fault);
        } else if (name == "--pretend-process") {
            if (value.size() != 4 || !IsPrintableAscii(value)) {
                return bad("expected a four-character signature such as KeyG");
            }
            options.pretendProcesses.push_back(SignatureFromText(value));
        } else if (name == "--trace") {
            if (value.empty()) {
                return bad("expected a file name");
            }
            options.traceFile = std::string(value);
        } else if (name == "--firmware") {
            if (value.empty()) {
                return bad("expected a folder");
            }
            options.firmwareFolder = std::string(value);
        } else if (name == "--replay") {
            if (value.empty()) {
                return bad("expected a file name");
            }
            options.replayFile = std::string(value);
        } else {  // --answer-alerts
            if (value == "ok") {
                options.answerAlerts = 1;
            } else if (value == "cancel") {
                options.answerAlerts = 2;
            } else {
                return bad("expected ok or cancel");
            }
        }
        return true;
    }

    ParsedCommandLine Fail(std::string message) {
        result_.outcome = ParsedCommandLine::Outcome::Error;
        result_.error = std::move(message);
        return result_;
    }

    const std::vector<std::string>& arguments_;
    std::size_t index_ = 1;
    ParsedCommandLine result_;
    std::optional<std::string_view> unitOption_;
};

}  // namespace

ParsedCommandLine ParseSimulatorCommandLine(const std::vector<std::string>& arguments) {
    return CommandLineParser(arguments).Parse();
}

std::string SimulatorUsage(const std::string& programName) {
    std::ostringstream usage;
    usage << "Usage: " << programName << " [OPTION]...\n"
          << "The Ka firmware updater with a simulated Ka on a simulated FireWire bus.\n"
          << "\n"
          << "The simulated unit:\n"
          << "  --software-version WORD  installed firmware: MCORE version in bits 31..16,\n"
          << "                           Xilinx version in bits 15..0 (default 0x00020004)\n"
          << "  --product-revision WORD  product revision; bits 31..16 are the revision class\n"
          << "                           (default 0x00020000)\n"
          << "  --serial TEXT            serial number, at most 8 characters (default KA004711)\n"
          << "  --no-unit                no unit on the bus\n"
          << "  --appear-after SECONDS   the unit is plugged in this long after start\n"
          << "  --second-ka GUID         a second Ka on the bus, found after the first, with\n"
          << "                           node GUID GUID, the first one's firmware and revision\n"
          << "                           and the serial number KA and the GUID's last 6 digits\n"
          << "  --erase-polls N          status polls that find an erase still running\n"
          << "                           (about 1 s each; default 2)\n"
          << "  --fault KIND[@OFFSET][:IMAGE]\n"
          << "                           make the unit fail; may be given more than once.\n"
          << "                           KIND: not-ready, erase-fail, erase-timeout,\n"
          << "                           block-fail@OFFSET, crc-reject, unplug@OFFSET,\n"
          << "                           bus-reset@OFFSET, open-fail, answer-lost@OFFSET (the\n"
          << "                           unit takes the block, its answer is lost),\n"
          << "                           damaged@OFFSET (the block arrives damaged, not\n"
          << "                           taken); the updater cannot tell these two apart,\n"
          << "                           and each hits the image's first start only.\n"
          << "                           OFFSET counts the image bytes sent after the\n"
          << "                           header (decimal or 0x hex; for the Xilinx image,\n"
          << "                           the file offset minus 74).\n"
          << "                           IMAGE: xilinx, mcore or both (default both)\n"
          << "  --fault swap-unit        once the update is accepted, another unit takes the\n"
          << "                           Ka's place before the update starts (another node\n"
          << "                           GUID, software version 0x00040006, revision class 2)\n"
          << "  --fault identity-read-fail\n"
          << "                           the unit answers discovery's software-version and\n"
          << "                           product-revision reads with an address error\n"
          << "\n"
          << "The firmware:\n"
          << "  --firmware DIR           install the release in DIR (KaXilinx.bit, Ka_MCORE.s19\n"
          << "                           and version, checked as the updater checks\n"
          << "                           /usr/lib/firmware/ka) instead of the built-in images\n"
          << "\n"
          << "The desktop:\n"
          << "  --editor-running         pretend that Final Cut Pro is running\n"
          << "  --pretend-process SIG    pretend that a process with this four-character\n"
          << "                           signature is running\n"
          << "\n"
          << "Recording and unattended runs:\n"
          << "  --trace FILE             at exit, write every bus transaction and the final\n"
          << "                           flash contents to FILE, one JSON object a line\n"
          << "  --replay FILE            the unit answers an accepted update as the update\n"
          << "                           record FILE shows; the first request that differs\n"
          << "                           ends the simulator with exit status 3\n"
          << "  --no-pauses              do not wait out the update's pauses (nor, in a\n"
          << "                           replay, the recorded time between requests)\n"
          << "  --press-update           press the update button once it can be used\n"
          << "                           (with --answer-alerts, a failed update then ends the\n"
          << "                           simulator with exit status 1)\n"
          << "  --answer-alerts ok|cancel  answer every alert with this button\n"
          << "\n"
          << UpdaterModeUsage()
          << "  The unit, its faults, --firmware, --no-pauses and --trace apply to --status\n"
          << "  and --update as they do to the window.\n"
          << "\n"
          << "  -h, --help               show this text\n"
          << "  --version                say which release of the updater this is\n";
    return usage.str();
}

}  // namespace kasim
