#include "TerminalFrontEnd.h"

#include "AlertTexts.h"
#include "DiagnosticLines.h"
#include "DownloadProgress.h"
#include "StandardErrorTexts.h"
#include "TerminalTexts.h"
#include "UnitStatusReport.h"
#include "UpdateOutcome.h"
#include "UpdateSafeguard.h"
#include "terminal/Terminal.h"
#include "virorividizezuzu.h"

#include "record/RecordText.h"
#include "record/UpdateRecord.h"

#include <Carbon/Carbon.h>
#include <kaplatform/ApplicationTermination.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>

using Orv::VEV::CViRorividiZezuzu;

namespace {

// Often enough for a progress line that moves smoothly, seldom enough to cost nothing.
constexpr EventTimerInterval kProgressInterval = 0.1 * kEventDurationSecond;

// Both standard streams of a terminal mode, written by the main thread and the update's
// worker alike. A line for standard error first takes the progress line off the terminal and
// puts it back after, so that neither lands on the other. Standard output that fails (a full
// disk, a reader that went away) is given up, never waited for: the update goes on.
class TerminalScreen {
  public:
    explicit TerminalScreen(bool redraw) : _redraw(redraw) {}

    bool Redraws() const { return _redraw; }

    void Write(std::string_view text) {
        const std::lock_guard lock(_mutex);
        WriteOutput(text);
    }

    void WriteError(std::string_view text) {
        if (!_redraw) {
            // No progress line to keep apart, and the worker never waits for a reader of
            // standard output that has stopped reading.
            katerminal::TerminalWriteAll(katerminal::kTerminalStandardError, text);
            return;
        }
        const std::lock_guard lock(_mutex);
        if (!_progress.empty()) {
            WriteOutput(katerminal::TerminalRedrawnLine(""));
        }
        katerminal::TerminalWriteAll(katerminal::kTerminalStandardError, text);
        if (!_progress.empty()) {
            WriteOutput(katerminal::TerminalRedrawnLine(_progress));
        }
    }

    // On a terminal: the line the progress is shown on, redrawn in place.
    void ShowProgress(const std::string& text) {
        const std::lock_guard lock(_mutex);
        _progress = text;
        WriteOutput(katerminal::TerminalRedrawnLine(_progress));
    }
    void EndProgress() {
        const std::lock_guard lock(_mutex);
        if (!_progress.empty()) {
            _progress.clear();
            WriteOutput("\n");
        }
    }

    // The errno of the first write to standard output that failed, 0 when none did.
    int OutputError() {
        const std::lock_guard lock(_mutex);
        return _outputError;
    }

  private:
    void WriteOutput(std::string_view text) {
        if (_outputError == 0) {
            _outputError = katerminal::TerminalWriteAll(katerminal::kTerminalStandardOutput, text);
        }
    }

    std::mutex _mutex;
    const bool _redraw;
    std::string _progress;
    int _outputError = 0;
};

// Hands on what is written to it a whole line at a time, each thread's lines apart: the
// worker's lines never split the main thread's. With passPartial a flush hands on an
// unfinished line as well (the progress line has no end); std::cerr flushes after every
// insertion, so its buffer keeps a line until it ends.
class LineBuffer final : public std::streambuf {
  public:
    using Sink = std::function<void(std::string_view)>;
    LineBuffer(Sink sink, bool passPartial) : _sink(std::move(sink)), _passPartial(passPartial) {}
    ~LineBuffer() override {
        for (const auto& [thread, text] : _pending) {
            if (!text.empty()) {
                _sink(text);
            }
        }
    }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

  protected:
    int_type overflow(int_type character) override {
        if (!traits_type::eq_int_type(character, traits_type::eof())) {
            const char byte = traits_type::to_char_type(character);
            Put(std::string_view(&byte, 1));
        }
        return traits_type::not_eof(character);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        Put(std::string_view(text, static_cast<std::size_t>(count)));
        return count;
    }
    int sync() override {
        if (_passPartial) {
            const std::lock_guard lock(_mutex);
            std::string& pending = _pending[std::this_thread::get_id()];
            if (!pending.empty()) {
                _sink(pending);
                pending.clear();
            }
        }
        return 0;
    }

  private:
    void Put(std::string_view text) {
        const std::lock_guard lock(_mutex);
        std::string& pending = _pending[std::this_thread::get_id()];
        pending.append(text);
        const auto end = pending.rfind('\n');
        if (end != std::string::npos) {
            _sink(std::string_view(pending).substr(0, end + 1));
            pending.erase(0, end + 1);
        }
    }

    std::mutex _mutex;
    std::map<std::thread::id, std::string> _pending;
    const Sink _sink;
    const bool _passPartial;
};

// Among the program's diagnostic lines, those its user must hear without --verbose (the rest
// are the trail of what it did).
bool IsWarningLine(std::string_view line) {
    return line.starts_with(kImageRestartBefore);
}

// While it lives, the program's lines go where the terminal modes want them: its diagnostic
// trail (std::cout, std::cerr) to standard error with --verbose and nowhere without, save the
// warnings among it; its lines for the user (std::clog) to standard error always; the mode's
// own words to Output() and Errors(), the real standard output and standard error.
class DiagnosticRoute {
  public:
    explicit DiagnosticRoute(bool verbose)
        : _screen(katerminal::TerminalIsInteractive(katerminal::kTerminalStandardOutput)),
          _trailBuffer(
              [this, verbose](std::string_view line) {
                  if (verbose || IsWarningLine(line)) {
                      _screen.WriteError(line);
                  }
              },
              false),
          _warningBuffer([this](std::string_view line) { _screen.WriteError(line); }, false),
          _outputBuffer([this](std::string_view text) { _screen.Write(text); }, true),
          _errorBuffer([this](std::string_view text) { _screen.WriteError(text); }, false),
          _output(&_outputBuffer),
          _errors(&_errorBuffer),
          _cout(std::cout.rdbuf(&_trailBuffer)),
          _cerr(std::cerr.rdbuf(&_trailBuffer)),
          _clog(std::clog.rdbuf(&_warningBuffer)) {
        // What the program printed before goes out before anything of the mode.
        std::fflush(stdout);
    }
    ~DiagnosticRoute() {
        std::cout.flush();
        std::clog.flush();
        std::cout.rdbuf(_cout);
        std::cerr.rdbuf(_cerr);
        std::clog.rdbuf(_clog);
    }
    DiagnosticRoute(const DiagnosticRoute&) = delete;
    DiagnosticRoute& operator=(const DiagnosticRoute&) = delete;

    std::ostream& Output() { return _output; }
    std::ostream& Errors() { return _errors; }
    TerminalScreen& Screen() { return _screen; }

  private:
    TerminalScreen _screen;
    LineBuffer _trailBuffer;
    LineBuffer _warningBuffer;
    LineBuffer _outputBuffer;
    LineBuffer _errorBuffer;
    std::ostream _output;
    std::ostream _errors;
    std::streambuf* const _cout;
    std::streambuf* const _cerr;
    std::streambuf* const _clog;
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
    TerminalUpdate(CViRorividiZezuzu& controller, DiagnosticRoute& route)
        : _controller(controller), _route(route) {}

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
        if (!_finished) {
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
        _route.Screen().EndProgress();
        const Orv::VEV::UpdateOutcome outcome = _controller.GetUpdateOutcome();
        UpdateRecordEnd(outcome.BothInstalled(), outcome.firstFailure,
                        Orv::VEV::DescribeUpdateOutcome(outcome).c_str());
        _safeguard.RecordOutcome(outcome);
        std::ostream& out = _route.Output();
        if (outcome.BothInstalled()) {
            out << kDownloadDoneMessage << ". " << kDownloadDoneInformative << "\n";
        } else {
            const std::string failure = std::string(kDownloadFailedMessage) + ". " +
                                        Orv::VEV::DescribeUpdateFailure(outcome);
            out << failure << "\n";
            // A failure is heard even where standard output goes to a file or to nobody.
            out.flush();
            _route.Errors() << failure << "\n";
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
        // Last: a stop asked for during the run may take effect once the outcome is out.
        _safeguard.End();
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
        if (_route.Screen().Redraws()) {
            _route.Screen().ShowProgress(kProgressPrefix + text);
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

    CViRorividiZezuzu& _controller;
    DiagnosticRoute& _route;
    CUpdateSafeguard _safeguard;
    EventHandlerRef _terminationHandler = nullptr;
    EventLoopTimerRef _timer = nullptr;
    bool _started = false;
    bool _finished = false;
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
    // A nightly job must not wear the flash, nor put the unit at risk, for what it has.
    if (status.update == kUpdateReinstall && !options.allowReinstall) {
        errors << AlreadyInstalledLine(installed);
        return kExitAlreadyInstalled;
    }
    if (!options.yes) {
        // Asked of the user at the terminal only: an answer piped in is nobody's consent.
        if (!katerminal::TerminalIsInteractive(katerminal::kTerminalStandardInput)) {
            errors << kNoTerminalToAskLine;
            return kExitNothingWritten;
        }
        const char* const action = status.downgrade                    ? kDowngradeAction
                                   : status.update == kUpdateReinstall ? kReinstallAction
                                                                       : kUpgradeAction;
        const std::string question = ConsentQuestion(action, installed, offered);
        if (!katerminal::TerminalAskYesNo(question.c_str())) {
            errors << kNoConsentLine;
            return kExitNothingWritten;
        }
    }
    // The unit of the pass above is the one consented to; the worker writes to no other.
    controller.AcceptUpdate();
    TerminalUpdate update(controller, route);
    return update.Run();
}

}  // namespace

int RunTerminalMode(const UpdaterModeOptions& options, KaFirmwareRule firmwareRule,
                    const std::optional<KaFirmwareFolder>& firmwareFolder) {
    DiagnosticRoute route(options.verbose);
    KaFirmware firmware;
    const std::string firmwareLine = KaChooseFirmware(firmwareRule, firmwareFolder, firmware);
    // Firmware that may not be installed is named with the file and the reason: the user
    // can act on it.
    (firmware.mayBeInstalled ? std::cerr : route.Errors()) << firmwareLine << "\n";
    int status = kExitSuccess;
    {
        const auto controller =
            std::make_unique<CViRorividiZezuzu>(firmware, gDownloadProgress, TheUpdateRecord());
        status = options.mode == UpdaterModeOptions::Mode::Status
                     ? RunStatus(options, route, *controller, firmware)
                     : RunUpdate(options, route, *controller, firmware);
    }
    route.Output().flush();
    if (const int error = route.Screen().OutputError(); error != 0) {
        route.Errors() << kOutputFailedPrefix << std::strerror(error) << ".\n";
        // A status that says more (a failed update, no Ka) stays.
        if (status == kExitSuccess) {
            status = kExitOutputFailed;
        }
    }
    return status;
}
