// virorividizezuzu: the updater on the machine's real FireWire bus, through the kernel's
// firewire-cdev interface. Its only options drive it from a terminal instead of the window
// (UpdaterCommandLine.h); it reads no environment setting. It installs the Ka's firmware
// only: the built-in images when the build carries it, otherwise the release a firmware
// package put in the system's firmware folder (KaFirmware.h).
#include "FireWireBackend.h"
#include "KaFirmware.h"
#include "LinuxFireWireBackend.h"
#include "TerminalFrontEnd.h"
#include "TerminalTexts.h"
#include "UnitStatusReport.h"
#include "UpdaterCommandLine.h"
#include "UpdaterMain.h"
#include "firmware/FirmwareFolder.h"
#include "singleinstance/SessionSingleInstance.h"
#include "sleepinhibitor/SleepInhibitor.h"

#include "record/UpdateRecorder.h"

#include <Carbon/Carbon.h>
#include <kaplatform/ApplicationTermination.h>
#include <kaplatform/PlatformSeams.h>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    InitApplicationProcess();
    const std::string programName = argc > 0 ? argv[0] : "virorividizezuzu";
    const UpdaterCommandLine parsed =
        ParseUpdaterCommandLine(std::vector<std::string>(argv, argv + argc));
    switch (parsed.outcome) {
        case UpdaterCommandLine::Outcome::ShowHelp:
            std::cout << UpdaterUsage(programName);
            return kExitSuccess;
        case UpdaterCommandLine::Outcome::ShowVersion:
            std::cout << UpdaterVersionLine("virorividizezuzu");
            return kExitSuccess;
        case UpdaterCommandLine::Outcome::Error:
            std::cerr << programName << ": " << parsed.error << "\n" << TryHelpLine(programName);
            return kExitUsage;
        case UpdaterCommandLine::Outcome::Run:
            break;
    }
    if (parsed.options.InTerminal()) {
        InitApplicationProcessWithoutWindows();
    }
    // Two copies would both offer to update the one unit; a window and a terminal run would
    // both reach for it.
    // The copy that runs answers a later --status as that one would alone.
    kaplatform::SetSingleInstanceRegister(
        kasingleinstance::MakeSessionSingleInstanceRegister(AnswerStatusQuestion));
    if (!kaplatform::ClaimSingleApplicationInstance("virorividizezuzu")) {
        if (parsed.options.mode == UpdaterModeOptions::Mode::Status) {
            const auto answer = kasingleinstance::AskRunningCopy(
                "virorividizezuzu", StatusQuestion(parsed.options.json, parsed.options.guid));
            int status = kExitAlreadyRunning;
            std::string output;
            if (answer && ReadStatusAnswer(*answer, status, output)) {
                std::cout << output << std::flush;
                return status;
            }
        }
        if (parsed.options.InTerminal()) {
            std::cerr << programName << kAlreadyRunningSuffix;
            return kExitAlreadyRunning;
        }
        return 0;
    }
    {
        // The update's calls and the bus's events go into its record. The platform holds
        // the only reference, so that taking the backend away ends it.
        const auto backend =
            kaplatform::MakeLinuxFireWireBackend(kaplatform::kDefaultLinuxFireWireRetryPolicy);
        backend->SetBusObserver(&karecord::UpdateRecordObserver());
        kaplatform::SetFireWireBackend(backend);
    }
    kaplatform::SetSystemSleepBlocker(kasleepinhibitor::MakeLogindSleepInhibitor());
    const KaFirmwareFolder systemFolder{kafirmware::kSystemFirmwareFolder,
                                        kafirmware::kSystemAdministrator};
    const int status =
        parsed.options.InTerminal()
            ? RunTerminalMode(parsed.options, KaFirmwareRule::KaFirmwareOnly, systemFolder)
            : RunUpdaterApplication(argc, argv, KaFirmwareRule::KaFirmwareOnly, systemFolder);
    kaplatform::SetFireWireBackend(nullptr);
    return status;
}
