#include "TerminalFrontEnd.h"

#include "DownloadProgress.h"
#include "Process.h"
#include "UnitAccessReport.h"
#include "UpdateOutcome.h"
#include "UpdateSafeguard.h"
#include "ViRorividiZezuzuDialog.h"
#include "virorividizezuzu.h"

#include "record/UpdateRecord.h"

#include <Carbon/Carbon.h>
#include <CoreServices/Terminal.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

using Orv::VEV::CViRorividiZezuzu;

namespace {

const UInt32 kFinalCutSignature = 'KeyG';
// Often enough for a progress line that moves smoothly, seldom enough to cost nothing.
constexpr EventTimerInterval kProgressInterval = 0.1 * kEventDurationSecond;

class DiscardingBuffer final : public std::streambuf {
  protected:
    int_type overflow(int_type character) override { return traits_type::not_eof(character); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// While it lives, what the program writes on std::cout and std::cerr (its diagnostic lines)
// goes to standard error, or nowhere; the mode's own words go to Output() and Errors(), the
// real standard output and standard error.
class DiagnosticRoute {
  public:
    explicit DiagnosticRoute(bool verbose)
        : _output(std::cout.rdbuf()), _errors(std::cerr.rdbuf()) {
        // Never destroyed: nothing written late can reach a buffer that is gone.
        static DiscardingBuffer* discarded = new DiscardingBuffer;
        std::streambuf* target = verbose ? std::cerr.rdbuf() : discarded;
        std::cout.rdbuf(target);
        std::cerr.rdbuf(target);
    }
    ~DiagnosticRoute() {
        std::cout.flush();
        std::cout.rdbuf(_output.rdbuf());
        std::cerr.rdbuf(_errors.rdbuf());
    }
    DiagnosticRoute(const DiagnosticRoute&) = delete;
    DiagnosticRoute& operator=(const DiagnosticRoute&) = delete;

    std::ostream& Output() { return _output; }
    std::ostream& Errors() { return _errors; }

  private:
    std::ostream _output;
    std::ostream _errors;
};

// Bytes a unit sent may hold anything: what is not printable ASCII is shown as '?', so that
// nothing of it reaches the terminal as a control sequence.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& character : shown) {
        if (character < 0x20 || character > 0x7E) {
            character = '?';
        }
    }
    return shown;
}

std::string HexGUID(UInt64 guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

// What one discovery pass and the chosen firmware say about an update.
struct UnitStatus {
    bool found = false;
    UInt64 guid = 0;
    std::string serialNumber;
    std::string installedFirmware;
    std::string firmwareVersion;  // empty when the program holds no release at all
    std::string firmwareSource;
    std::string firmwareProblem;  // empty when the release may be installed
    bool downgrade = false;
    // "upgrade", "downgrade", "reinstall" or "none".
    std::string update;
    // Why none is possible: "no Ka found", "no permission", "in use by another program",
    // "no firmware to install", "Final Cut Pro is running"; empty when one is.
    std::string reason;
};

UnitStatus ReadUnitStatus(CViRorividiZezuzu& controller, const KaFirmware& firmware) {
    UnitStatus status;
    if (firmware.MCOREver != 0 || firmware.XilinxVer != 0) {
        controller.GetUpdateFirmwareVersionString(status.firmwareVersion);
    }
    status.firmwareSource = firmware.source;
    if (!firmware.mayBeInstalled) {
        status.firmwareProblem = firmware.problem;
    }
    status.found = controller.IsFound();
    if (!status.found) {
        const IOReturn access = kaunitaccess::UnitAccessStatus();
        status.reason = access == kIOReturnNotPermitted      ? "no permission"
                        : access == kIOReturnExclusiveAccess ? "in use by another program"
                                                             : "no Ka found";
        status.update = "none";
        return status;
    }
    status.guid = controller.GetGUID();
    controller.GetSerialNumberString(status.serialNumber);
    controller.GetCurrentFirmwareVersionString(status.installedFirmware);
    status.downgrade = controller.IsDowngrade();
    if (!firmware.mayBeInstalled) {
        status.reason = "no firmware to install";
    } else if (TProcess(kMyProcess).FindProcess(kFinalCutSignature)) {
        status.reason = "Final Cut Pro is running";
    }
    if (!status.reason.empty()) {
        status.update = "none";
    } else if (status.downgrade) {
        status.update = "downgrade";
    } else if (status.installedFirmware == status.firmwareVersion) {
        status.update = "reinstall";
    } else {
        status.update = "upgrade";
    }
    return status;
}

std::string UnitAccessSentence(const std::string& reason) {
    if (reason == "no permission") {
        return "a Ka is connected, but this user may not open it: install the updater's udev "
               "rule (see the README)";
    }
    if (reason == "in use by another program") {
        return "the Ka is in use by another program; quit it to update the Ka";
    }
    return "no Ka is on the FireWire bus";
}

void PrintStatusText(std::ostream& out, const UnitStatus& status) {
    if (status.found) {
        out << "Ka: found\n"
            << "GUID: " << HexGUID(status.guid) << "\n"
            << "Serial number: " << Printable(status.serialNumber) << "\n"
            << "Installed firmware: " << status.installedFirmware << "\n";
    } else {
        out << "Ka: not found (" << UnitAccessSentence(status.reason) << ")\n";
    }
    out << "Firmware to install: "
        << (status.firmwareVersion.empty() ? std::string("none") : status.firmwareVersion) << "\n"
        << "Firmware source: " << Printable(status.firmwareSource) << "\n";
    if (!status.firmwareProblem.empty()) {
        out << "It may not be installed: " << Printable(status.firmwareProblem) << "\n";
    }
    if (status.reason.empty()) {
        out << "Update: " << status.update << "\n";
    } else {
        out << "Update: not possible (" << status.reason << ")\n";
    }
}

void PrintStatusJson(std::ostream& out, const UnitStatus& status) {
    using Json = nlohmann::json;
    const auto textOrNull = [](bool present, const std::string& text) {
        return present ? Json(text) : Json(nullptr);
    };
    Json object;
    object["found"] = status.found;
    object["guid"] = textOrNull(status.found, HexGUID(status.guid));
    object["serialNumber"] = textOrNull(status.found, status.serialNumber);
    object["installedFirmware"] = textOrNull(status.found, status.installedFirmware);
    object["firmware"] = textOrNull(!status.firmwareVersion.empty(), status.firmwareVersion);
    object["firmwareSource"] = status.firmwareSource;
    object["firmwareProblem"] = textOrNull(!status.firmwareProblem.empty(), status.firmwareProblem);
    object["update"] = status.update;
    object["reason"] = textOrNull(!status.reason.empty(), status.reason);
    // A serial number of the unit's own bytes need not be UTF-8.
    out << object.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

// Where the update is, as a line: "Xilinx image: programming, 52%".
std::string ProgressText() {
    DL_DEVICE_TYPE image = Xilinx;
    DownloadPhase phase = kDownloadPreparing;
    gDownloadProgress.GetPhase(image, phase);
    const char* phaseText = phase == kDownloadErasing       ? "erasing"
                            : phase == kDownloadProgramming ? "programming"
                                                            : "starting";
    return std::string(image == MCORE ? "MCORE image: " : "Xilinx image: ") + phaseText + ", " +
           std::to_string(gDownloadProgress.Get()) + "%";
}

// The accepted update, run on the application event loop as the window runs it: a request to
// end the program waits for the end of the run.
class TerminalUpdate {
  public:
    TerminalUpdate(CViRorividiZezuzu& controller, DiagnosticRoute& route, bool verbose)
        : _controller(controller),
          _route(route),
          _verbose(verbose),
          _redraw(TerminalIsInteractive(kTerminalStandardOutput)) {}

    int Run() {
        EventTypeSpec terminationEvent = {kEventClassApplication, kEventAppTerminationRequested};
        InstallEventHandler(GetApplicationEventTarget(),
                            NewEventHandlerUPP(TerminationRequestHandlerStatic), 1,
                            &terminationEvent, this, &_terminationHandler);
        InstallEventLoopTimer(GetCurrentEventLoop(), 0, kProgressInterval,
                              NewEventLoopTimerUPP(TimerEventHandlerStatic), this, &_timer);
        RunApplicationEventLoop();
        if (_timer != nullptr) {
            RemoveEventLoopTimer(_timer);
        }
        if (_terminationHandler != nullptr) {
            RemoveEventHandler(_terminationHandler);
        }
        if (!_started) {
            _route.Errors() << "Nothing was written: the updater was asked to end before the "
                               "update began.\n";
            return kExitNothingWritten;
        }
        return _safeguard.ExitStatus();
    }

  private:
    static OSStatus TerminationRequestHandlerStatic(EventHandlerCallRef, EventRef, void* userData) {
        return static_cast<TerminalUpdate*>(userData)->TerminationRequestHandler();
    }
    static void TimerEventHandlerStatic(EventLoopTimerRef, void* userData) {
        static_cast<TerminalUpdate*>(userData)->TimerEventHandler();
    }

    OSStatus TerminationRequestHandler() {
        if (!_started) {
            // Nothing has reached the unit: the standard handling ends the loop.
            return eventNotHandledErr;
        }
        if (!_finished && !_safeguard.IsTerminationHeld()) {
            // The safeguard says it among the diagnostic lines; the user must hear it anyway.
            if (!_verbose) {
                EndProgressLine();
                _route.Errors() << "The updater will quit when the update is done.\n";
            }
            _safeguard.HoldTermination();
        }
        return noErr;
    }

    void TimerEventHandler() {
        if (!_started) {
            _started = true;
            _safeguard.Begin();
            _controller.BeginUpdateRecord();
            _controller.DoUpdate();
            ShowProgress();
            return;
        }
        if (_finished) {
            return;
        }
        const bool done = _controller.GetDoneStatus();
        ShowProgress();
        if (!done) {
            return;
        }
        _finished = true;
        EndProgressLine();
        const Orv::VEV::UpdateOutcome outcome = _controller.GetUpdateOutcome();
        UpdateRecordEnd(outcome.BothInstalled(), outcome.firstFailure,
                        Orv::VEV::DescribeUpdateOutcome(outcome).c_str());
        _safeguard.RecordOutcome(outcome);
        _safeguard.End();
        std::ostream& out = _route.Output();
        if (outcome.BothInstalled()) {
            out << kDownloadDoneMessage << ". " << kDownloadDoneInformative << "\n";
        } else {
            out << kDownloadFailedMessage << ". " << Orv::VEV::DescribeUpdateFailure(outcome)
                << "\n";
        }
        if (CFStringRef record = UpdateRecordCopyFilePath(); record != nullptr) {
            char path[4096];
            if (CFStringGetCString(record, path, sizeof path, kCFStringEncodingUTF8)) {
                out << "Update record: " << path << "\n";
            }
            CFRelease(record);
        } else {
            out << "No record of this update was kept.\n";
        }
        out.flush();
        QuitApplicationEventLoop();
    }

    // On a terminal one line redrawn in place; elsewhere a line for each phase and each
    // tenth of the way.
    void ShowProgress() {
        const std::string text = ProgressText();
        if (text == _lastProgress) {
            return;
        }
        std::ostream& out = _route.Output();
        if (_redraw) {
            out << TerminalRedrawnLine("Updating the Ka: " + text) << std::flush;
            _progressLineOpen = true;
        } else {
            const std::string phase = text.substr(0, text.find(','));
            const UInt32 tenth = gDownloadProgress.Get() / 10;
            if (phase != _lastPhase || tenth != _lastTenth) {
                out << "Updating the Ka: " << text << "\n" << std::flush;
                _lastPhase = phase;
                _lastTenth = tenth;
            }
        }
        _lastProgress = text;
    }

    void EndProgressLine() {
        if (_progressLineOpen) {
            _route.Output() << "\n" << std::flush;
            _progressLineOpen = false;
        }
    }

    CViRorividiZezuzu& _controller;
    DiagnosticRoute& _route;
    const bool _verbose;
    const bool _redraw;
    CUpdateSafeguard _safeguard;
    EventHandlerRef _terminationHandler = nullptr;
    EventLoopTimerRef _timer = nullptr;
    bool _started = false;
    bool _finished = false;
    bool _progressLineOpen = false;
    std::string _lastProgress;
    std::string _lastPhase;
    UInt32 _lastTenth = 0;
};

int RunStatus(const UpdaterModeOptions& options, DiagnosticRoute& route,
              CViRorividiZezuzu& controller, const KaFirmware& firmware) {
    const UnitStatus status = ReadUnitStatus(controller, firmware);
    if (options.json) {
        PrintStatusJson(route.Output(), status);
    } else {
        PrintStatusText(route.Output(), status);
    }
    route.Output().flush();
    return status.found ? kExitSuccess : kExitNoKa;
}

int RunUpdate(const UpdaterModeOptions& options, DiagnosticRoute& route,
              CViRorividiZezuzu& controller, const KaFirmware& firmware) {
    const UnitStatus status = ReadUnitStatus(controller, firmware);
    std::ostream& errors = route.Errors();
    if (!status.found) {
        errors << "No Ka found: " << UnitAccessSentence(status.reason) << ".\n";
        return kExitNoKa;
    }
    if (!firmware.mayBeInstalled) {
        errors << "No update is possible: " << Printable(firmware.problem) << "\n";
        return kExitUpdateNotPossible;
    }
    if (status.reason == "Final Cut Pro is running") {
        errors << "No update is possible: please quit Final Cut Pro before updating the Ka "
                  "firmware.\n";
        return kExitUpdateNotPossible;
    }
    if (status.downgrade && !options.allowDowngrade) {
        errors << "Nothing was written: this is a downgrade from " << status.installedFirmware
               << " to " << status.firmwareVersion
               << "; give --allow-downgrade as well to install it.\n";
        return kExitNothingWritten;
    }
    if (!options.yes) {
        if (!TerminalIsInteractive(kTerminalStandardInput)) {
            errors << "Nothing was written: there is no terminal to ask for consent; give --yes "
                      "to update without asking.\n";
            return kExitNothingWritten;
        }
        const std::string question = "Update the Ka from " + status.installedFirmware + " to " +
                                     status.firmwareVersion + "? [y/N]";
        if (!TerminalAskYesNo(question.c_str())) {
            errors << "Nothing was written.\n";
            return kExitNothingWritten;
        }
    }
    // The unit of the pass above is the one consented to; the worker writes to no other.
    controller.AcceptUpdate();
    TerminalUpdate update(controller, route, options.verbose);
    return update.Run();
}

}  // namespace

int RunTerminalMode(const UpdaterModeOptions& options, KaFirmwareRule firmwareRule,
                    const std::optional<KaFirmwareFolder>& firmwareFolder) {
    DiagnosticRoute route(options.verbose);
    std::cerr << KaChooseFirmware(firmwareRule, firmwareFolder) << "\n";
    const KaFirmware firmware = KaChosenFirmware();
    const auto controller = std::make_unique<CViRorividiZezuzu>();
    if (options.mode == UpdaterModeOptions::Mode::Status) {
        return RunStatus(options, route, *controller, firmware);
    }
    return RunUpdate(options, route, *controller, firmware);
}
