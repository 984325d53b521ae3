#include "TerminalFrontEnd.h"

#include "DownloadProgress.h"
#include "UnitStatusReport.h"
#include "UpdateOutcome.h"
#include "UpdateSafeguard.h"
#include "terminal/Terminal.h"
#include "texts/AlertTexts.h"
#include "texts/StandardErrorTexts.h"
#include "texts/TerminalTexts.h"
#include "virorividizezuzu.h"

#include "record/RecordText.h"
#include "record/UpdateRecord.h"

#include <Carbon/Carbon.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>

using Orv::VEV::CViRorividiZezuzu;

namespace {

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
    const UnitStatus status = ReadUnitStatus(controller, firmware, options.guid, true);
    route.Output() << (options.json ? UnitStatusJson(status) : UnitStatusText(status));
    route.Output().flush();
    return UnitStatusExitStatus(status);
}

int RunUpdate(const UpdaterModeOptions& options, DiagnosticRoute& route,
              CViRorividiZezuzu& controller, const KaFirmware& firmware) {
    // Only the unit to update is read: the controller keeps its identity for the acceptance.
    const UnitStatus status = ReadUnitStatus(controller, firmware, options.guid, false);
    std::ostream& errors = route.Errors();
    if (!status.found) {
        errors << NoKaFoundLine(NotFoundClause(status));
        return kExitNoKa;
    }
    if (!firmware.mayBeInstalled) {
        errors << kNoUpdatePossiblePrefix << karecord::TerminalText(firmware.problem) << "\n";
        return kExitUpdateNotPossible;
    }
    if (status.reason == kReasonFinalCutRunning) {
        errors << kNoUpdateFinalCutRunningLine;
        return kExitUpdateNotPossible;
    }
    const std::string installed = FirmwareVersionText(status.unit.MCOREver, status.unit.XilinxVer);
    const std::string offered =
        FirmwareVersionText(status.firmwareMCOREver, status.firmwareXilinxVer);
    if (status.downgrade && !options.allowDowngrade) {
        errors << DowngradeNotAllowedLine(installed, offered);
        return kExitNothingWritten;
    }
    if (!options.yes) {
        if (!katerminal::TerminalIsInteractive(katerminal::kTerminalStandardInput)) {
            errors << kNoTerminalToAskLine;
            return kExitNothingWritten;
        }
        const std::string question = ConsentQuestion(installed, offered);
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
