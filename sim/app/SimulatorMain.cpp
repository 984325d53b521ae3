// virorividizezuzu-sim: the updater with a simulated Ka on a simulated bus. The command line
// sets the scene; the program body is the very one the hardware executable runs.
#include "SimulatedBackend.h"
#include "SimulatedKa.h"
#include "SimulatorOptions.h"
#include "SimulatorTrace.h"
#include "UpdateRecordReplay.h"

#include "DownloadPause.h"
#include "FireWireBackend.h"
#include "KaFirmware.h"
#include "TerminalFrontEnd.h"
#include "UpdaterCommandLine.h"
#include "UpdaterMain.h"
#include "VirtualDownloadPauseClock.h"
#include "sleepinhibitor/SleepInhibitor.h"

#include "record/UpdateRecorder.h"

#include <Carbon/Carbon.h>
#include <kaplatform/ApplicationTermination.h>
#include <kaplatform/PlatformSeams.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// A unit that is plugged in once its time has come, noticed by the next lookup.
class AppearingBackend final : public kaplatform::FireWireBackend {
  public:
    AppearingBackend(std::shared_ptr<kasim::SimulatedKa> ka,
                     std::chrono::steady_clock::time_point appearAt)
        : ka_(ka), inner_(std::move(ka)), appearAt_(appearAt) {}

    std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                        std::uint32_t softwareVersion) override {
        if (!appeared_ && std::chrono::steady_clock::now() >= appearAt_) {
            appeared_ = true;
            ka_->Plug();
        }
        return inner_.FindUnit(specifierId, softwareVersion);
    }

    std::optional<std::uint64_t> UnitGuid(const std::string& unitName) override {
        return inner_.UnitGuid(unitName);
    }

    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override {
        return inner_.CreateDevice(unitName, device);
    }

  private:
    std::shared_ptr<kasim::SimulatedKa> ka_;
    kasim::SimulatedBackend inner_;
    std::chrono::steady_clock::time_point appearAt_;
    bool appeared_ = false;
};

// Answers every alert with one button and says on standard output what it answered.
class FixedAlertAnswer final : public kaplatform::AlertResponder {
  public:
    explicit FixedAlertAnswer(int button) : button_(button) {}

    DialogItemIndex Respond(const kaplatform::AlertRequest& request) override {
        const int buttons = static_cast<int>(request.buttons.size());
        const int chosen = std::clamp(button_, 1, std::max(buttons, 1));
        std::cout << "sim: alert \"" << request.message << "\" / \"" << request.informative
                  << "\" answered " << chosen << "\n";
        if (request.message == "Programming Failed") {
            updateFailed = true;
        }
        return static_cast<DialogItemIndex>(chosen);
    }

    // The update the program ran ended in failure; the program then waits for a retry.
    bool updateFailed = false;

  private:
    int button_;
};

// Presses the update button once, the first time it can be used. After a failed update
// the program waits for the user to try again; nobody will in an unattended run, so it ends.
struct UpdatePresser {
    bool pressed = false;
    const FixedAlertAnswer* alerts = nullptr;
    bool quitAfterFailure = false;

    static void TimerProcedure(EventLoopTimerRef, void* userData) {
        auto* presser = static_cast<UpdatePresser*>(userData);
        if (presser->pressed) {
            if (presser->alerts != nullptr && presser->alerts->updateFailed &&
                !presser->quitAfterFailure) {
                presser->quitAfterFailure = true;
                std::cout << "sim: the update failed; quitting\n";
                QuitApplicationEventLoop();
            }
            return;
        }
        WindowRef window = FrontNonFloatingWindow();
        const ControlID updateButton = {'kaUD', 101};
        ControlRef control = nullptr;
        if (window == nullptr || GetControlByID(window, &updateButton, &control) != noErr ||
            !IsControlEnabled(control)) {
            return;
        }
        presser->pressed = true;
        std::cout << "sim: pressing the update button\n";
        HIViewSimulateClick(control, kControlButtonPart, 0, nullptr);
    }
};

// A replay writes no unit: nothing is worth holding a request to end for, nor the quit key.
// These signals are taken off every thread the program will have and waited for on one of its own,
// which drops the unfinished trace and lets the signal end the process as it ends any other.
void EndReplayOnTerminationSignals(std::filesystem::path unfinishedTrace) {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaddset(&signals, signalNumber);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, unfinishedTrace = std::move(unfinishedTrace)] {
        int signalNumber = 0;
        while (sigwait(&signals, &signalNumber) != 0) {
        }
        if (!unfinishedTrace.empty()) {
            std::error_code error;
            std::filesystem::remove(unfinishedTrace, error);
        }
        std::cout.flush();
        std::signal(signalNumber, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signalNumber);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        std::raise(signalNumber);
        std::_Exit(128 + signalNumber);
    }).detach();
}

std::string PretendProcessName(std::uint32_t signature) {
    if (signature == 'KeyG') {
        return "Final Cut Pro";
    }
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) {
        name += static_cast<char>((signature >> shift) & 0xFF);
    }
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    InitApplicationProcess();
    // Not the program the menu entry starts: a dock must not take its windows for that one's.
    kaplatform::SetApplicationIdentifier(KA_APPLICATION_ID ".Simulator");
    // An update it runs holds the machine up as the hardware updater's does.
    kaplatform::SetSystemSleepBlocker(kasleepinhibitor::MakeLogindSleepInhibitor());
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::string programName = argc > 0 ? argv[0] : "virorividizezuzu-sim";
    const kasim::ParsedCommandLine parsed = kasim::ParseSimulatorCommandLine(arguments);
    switch (parsed.outcome) {
        case kasim::ParsedCommandLine::Outcome::ShowHelp:
            std::cout << kasim::SimulatorUsage(programName);
            return 0;
        case kasim::ParsedCommandLine::Outcome::ShowVersion:
            std::cout << UpdaterVersionLine("virorividizezuzu-sim");
            return 0;
        case kasim::ParsedCommandLine::Outcome::Error:
            std::cerr << programName << ": " << parsed.error << "\n"
                      << "Try '" << programName << " --help' for more information.\n";
            return 2;
        case kasim::ParsedCommandLine::Outcome::Run:
            break;
    }
    const kasim::SimulatorOptions& options = parsed.options;
    if (options.mode.InTerminal()) {
        InitApplicationProcessWithoutWindows();
    }

    // The trace would take the record's place: the owner's record would be gone.
    if (!options.traceFile.empty() && !options.replayFile.empty()) {
        std::error_code error;
        if (std::filesystem::equivalent(options.traceFile, options.replayFile, error)) {
            std::cerr << programName << ": the trace file '" << options.traceFile
                      << "' is the record being replayed\n";
            return 2;
        }
    }

    // Open the trace first: a run whose record cannot be written is not worth starting.
    std::optional<kasim::TraceFile> trace;
    if (!options.traceFile.empty()) {
        trace.emplace(options.traceFile);
        if (!trace->Open()) {
            std::cerr << programName << ": cannot write the trace file '" << options.traceFile
                      << "'\n";
            return 2;
        }
    }
    if (!options.replayFile.empty()) {
        EndReplayOnTerminationSignals(trace ? trace->WrittenPath() : std::filesystem::path());
    }

    // The simulator's records stay apart from the hardware program's: trying it never costs
    // the record of a real update.
    karecord::SetUpdateRecordFolderName(std::string(karecord::kUpdateRecordFolderName) + "-sim");
    std::optional<karecord::UpdateRecordFile> replayed;
    if (!options.replayFile.empty()) {
        std::string error;
        replayed = karecord::ReadUpdateRecord(options.replayFile, error);
        if (!replayed) {
            std::cerr << programName << ": " << error << "\n";
            return 2;
        }
        // A replay is no update: it keeps no record, and prunes none of the owner's.
        karecord::KeepUpdateRecords(false);
        if (replayed->cutLine) {
            std::cout << "sim: line " << *replayed->cutLine
                      << " of the record was cut short and is left out\n";
        }
        if (!replayed->outcome) {
            std::cout << "sim: the record has no outcome line: the program that wrote it ended "
                         "before the update did\n";
        }
    }

    kasim::SimulatedKaConfig unit = options.unit;
    const bool appearsLater = unit.present && options.appearAfterSeconds > 0.0;
    if (appearsLater) {
        unit.present = false;
    }
    auto ka = std::make_shared<kasim::SimulatedKa>(unit);
    for (const kasim::ImageFault& fault : options.imageFaults) {
        ka->AddImageFault(fault);
    }
    if (options.swapUnit) {
        // The update's worker looks the unit up off the main thread; discovery never does.
        ka->ArmUnitSwap();
    }
    if (options.identityReadFail) {
        for (const std::uint64_t address :
             {kasim::kSoftwareVersionRegister, kasim::kProductRevisionRegister}) {
            kasim::TransactionFault fault(kasim::Operation::ReadQuadlet, kIOFireWireAddressError);
            fault.repeat = 0;
            fault.address = address;
            ka->AddTransactionFault(fault);
        }
    }
    std::vector<std::shared_ptr<kasim::SimulatedKa>> otherKas;
    if (options.secondKaGuid) {
        kasim::SimulatedKaConfig second = options.unit;
        second.unitName = "fw2.0";
        second.nodeId = 0xFFC2;
        second.guid = *options.secondKaGuid;
        char serial[9];
        std::snprintf(serial, sizeof serial, "KA%06llX",
                      static_cast<unsigned long long>(second.guid & 0xFFFFFF));
        second.serialNumber = kasim::SerialNumberFromText(serial);
        otherKas.push_back(std::make_shared<kasim::SimulatedKa>(second));
    }
    std::shared_ptr<kaplatform::FireWireBackend> replay;
    std::shared_ptr<kaplatform::FireWireBackend> backend;
    if (replayed) {
        const std::optional<karecord::RecordedOutcome> recordedOutcome = replayed->outcome;
        auto differs = [&programName, &trace](const std::string& what) {
            if (trace) {
                trace->Abandon();
            }
            std::cout.flush();
            // On std::clog: the terminal modes let it through without --verbose.
            std::clog << programName << ": the replay differs from the record: " << what << "\n";
            std::clog.flush();
            // The worker cannot go on in step with the record; nothing is left to save.
            std::_Exit(3);
        };
        replay = kasim::MakeReplayBackend(std::move(*replayed), !options.noPauses, differs);
        backend = replay;
        replayed->outcome = recordedOutcome;
    } else if (appearsLater) {
        const auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options.appearAfterSeconds));
        backend = std::make_shared<AppearingBackend>(ka, std::chrono::steady_clock::now() + delay);
    } else {
        backend = std::make_shared<kasim::SimulatedBackend>(ka, otherKas);
    }
    // As the hardware program does: the update's calls and the bus's events go into its
    // record.
    backend->SetBusObserver(&karecord::UpdateRecordObserver());
    kaplatform::SetFireWireBackend(std::move(backend));

    kaplatform::PretendProcessList processes;
    for (const std::uint32_t signature : options.pretendProcesses) {
        processes.Add(signature, PretendProcessName(signature));
    }
    kaplatform::SetProcessListSource(&processes);

    VirtualDownloadPauseClock virtualPauses;
    if (options.noPauses) {
        SetDownloadPauseClock(&virtualPauses);
    }

    std::optional<FixedAlertAnswer> alertAnswer;
    if (options.answerAlerts != 0) {
        alertAnswer.emplace(options.answerAlerts);
        kaplatform::SetAlertResponder(&*alertAnswer);
    }

    UpdatePresser presser;
    presser.alerts = alertAnswer ? &*alertAnswer : nullptr;
    EventLoopTimerRef presserTimer = nullptr;
    if (options.pressUpdate) {
        InstallEventLoopTimer(GetCurrentEventLoop(), 0.1, 0.1,
                              NewEventLoopTimerUPP(&UpdatePresser::TimerProcedure), &presser,
                              &presserTimer);
    }

    // The simulated unit takes whichever images the build carries (the made-up ones in
    // development, the Ka's firmware for a packager trying it before a real unit), or the
    // release in the folder it is given, checked as the hardware updater checks its own.
    std::optional<KaFirmwareFolder> firmwareFolder;
    if (!options.firmwareFolder.empty()) {
        firmwareFolder = KaFirmwareFolder{options.firmwareFolder, std::nullopt};
    }
    int status =
        options.mode.InTerminal()
            ? RunTerminalMode(options.mode, KaFirmwareRule::WhateverItHolds, firmwareFolder)
            : RunUpdaterApplication(argc, argv, KaFirmwareRule::WhateverItHolds, firmwareFolder);
    if (status == 0 && presser.quitAfterFailure) {
        // Scripts driving the simulator must be able to tell a failed run from a good one.
        status = 1;
    }

    if (replay) {
        const auto outcome = karecord::LastRecordedOutcome();
        if (!kasim::ReplayFinished(*replay) || outcome != replayed->outcome) {
            std::cerr << programName
                      << ": the replay differs from the record: the update ended otherwise\n";
            kaplatform::SetFireWireBackend(nullptr);
            return 3;
        }
        std::cout << "sim: the replay ended as the record did\n";
    }

    if (presserTimer != nullptr) {
        RemoveEventLoopTimer(presserTimer);
    }
    kaplatform::SetAlertResponder(nullptr);
    kaplatform::SetProcessListSource(nullptr);
    SetDownloadPauseClock(nullptr);
    kaplatform::SetFireWireBackend(nullptr);
    if (trace) {
        if (replay) {
            kasim::WriteReplayTrace(trace->Stream(), *replay);
        } else {
            kasim::WriteTrace(trace->Stream(), *ka);
            for (const auto& other : otherKas) {
                kasim::WriteTrace(trace->Stream(), *other, other->Guid());
            }
        }
        if (!trace->Commit()) {
            std::cerr << programName << ": writing the trace file '" << options.traceFile
                      << "' failed\n";
            return status != 0 ? status : 1;
        }
    }
    return status;
}
