#include "TerminalFrontEnd.h"

#include "DownloadProgress.h"
#include "Process.h"
#include "UpdateOutcome.h"
#include "UpdateSafeguard.h"
#include "terminal/Terminal.h"
#include "texts/AlertTexts.h"
#include "texts/StandardErrorTexts.h"
#include "texts/TerminalTexts.h"
#include "unitaccess/UnitAccessReport.h"
#include "virorividizezuzu.h"

#include "record/UpdateRecord.h"

#include <Carbon/Carbon.h>

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
    // What an update would do: one of the kUpdate values of TerminalTexts.h.
    std::string update;
    // Why none is possible, one of its kReason values; empty when one is.
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
        status.reason = access == kIOReturnNotPermitted      ? kReasonNoPermission
                        : access == kIOReturnExclusiveAccess ? kReasonInUse
                                                             : kReasonNoKa;
        status.update = kUpdateNone;
        return status;
    }
    status.guid = controller.GetGUID();
    controller.GetSerialNumberString(status.serialNumber);
    controller.GetCurrentFirmwareVersionString(status.installedFirmware);
    status.downgrade = controller.IsDowngrade();
    if (!firmware.mayBeInstalled) {
        status.reason = kReasonNoFirmware;
    } else if (RefreshProcessList(), TProcess(kMyProcess).FindProcess(kFinalCutSignature)) {
        status.reason = kReasonFinalCutRunning;
    }
    if (!status.reason.empty()) {
        status.update = kUpdateNone;
    } else if (status.downgrade) {
        status.update = kUpdateDowngrade;
    } else if (status.installedFirmware == status.firmwareVersion) {
        status.update = kUpdateReinstall;
    } else {
        status.update = kUpdateUpgrade;
    }
    return status;
}

std::string UnitAccessSentence(const std::string& reason) {
    if (reason == kReasonNoPermission) {
        return kNoPermissionClause;
    }
    if (reason == kReasonInUse) {
        return kInUseClause;
    }
    return kNoKaClause;
}

void PrintStatusText(std::ostream& out, const UnitStatus& status) {
    if (status.found) {
        out << kStatusFound << kStatusGuid << HexGUID(status.guid) << "\n"
            << kStatusSerialNumber << Printable(status.serialNumber) << "\n"
            << kStatusInstalledFirmware << status.installedFirmware << "\n";
    } else {
        out << StatusNotFoundLine(UnitAccessSentence(status.reason));
    }
    out << kStatusFirmwareToInstall
        << (status.firmwareVersion.empty() ? std::string(kStatusNoFirmwareVersion)
                                           : status.firmwareVersion)
        << "\n"
        << kStatusFirmwareSource << Printable(status.firmwareSource) << "\n";
    if (!status.firmwareProblem.empty()) {
        out << kStatusFirmwareProblem << Printable(status.firmwareProblem) << "\n";
    }
    if (status.reason.empty()) {
        out << kStatusUpdate << status.update << "\n";
    } else {
        out << StatusNoUpdateLine(status.reason);
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
    const char* phaseText = phase == kDownloadErasing       ? kProgressErasing
                            : phase == kDownloadProgramming ? kProgressProgramming
                                                            : kProgressStarting;
    return std::string(image == MCORE ? kProgressMcoreImage : kProgressXilinxImage) + phaseText +
           ", " + std::to_string(gDownloadProgress.Get()) + "%";
}

// The accepted update, run on the application event loop as the window runs it: a request to
// end the program waits for the end of the run.
class TerminalUpdate {
  public:
    TerminalUpdate(CViRorividiZezuzu& controller, DiagnosticRoute& route, bool verbose)
        : _controller(controller),
          _route(route),
          _verbose(verbose),
          _redraw(katerminal::TerminalIsInteractive(katerminal::kTerminalStandardOutput)) {}

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
            _route.Errors() << kEndedBeforeUpdateLine;
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
                _route.Errors() << kQuitWhenDoneLine;
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
                out << kUpdateRecordPrefix << path << "\n";
            }
            CFRelease(record);
        } else {
            out << kNoUpdateRecordLine;
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
            out << katerminal::TerminalRedrawnLine(kProgressPrefix + text) << std::flush;
            _progressLineOpen = true;
        } else {
            const std::string phase = text.substr(0, text.find(','));
            const UInt32 tenth = gDownloadProgress.Get() / 10;
            if (phase != _lastPhase || tenth != _lastTenth) {
                out << kProgressPrefix << text << "\n" << std::flush;
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
        errors << NoKaFoundLine(UnitAccessSentence(status.reason));
        return kExitNoKa;
    }
    if (!firmware.mayBeInstalled) {
        errors << kNoUpdatePossiblePrefix << Printable(firmware.problem) << "\n";
        return kExitUpdateNotPossible;
    }
    if (status.reason == kReasonFinalCutRunning) {
        errors << kNoUpdateFinalCutRunningLine;
        return kExitUpdateNotPossible;
    }
    if (status.downgrade && !options.allowDowngrade) {
        errors << DowngradeNotAllowedLine(status.installedFirmware, status.firmwareVersion);
        return kExitNothingWritten;
    }
    if (!options.yes) {
        if (!katerminal::TerminalIsInteractive(katerminal::kTerminalStandardInput)) {
            errors << kNoTerminalToAskLine;
            return kExitNothingWritten;
        }
        const std::string question =
            ConsentQuestion(status.installedFirmware, status.firmwareVersion);
        if (!katerminal::TerminalAskYesNo(question.c_str())) {
            errors << kNoConsentLine;
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
