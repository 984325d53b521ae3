// The simulated Ka on the software FireWire card: serves /dev/kacard until it is told to
// stop (SIGTERM or SIGINT), then leaves the bus and writes what its flash holds.
//   ka-unit-server [--bus-fault SPEC]... [--return-after SECONDS] [--flash-dir DIR]
//                  [SIMULATOR UNIT OPTIONS]...
#include "SimulatorOptions.h"
#include "UnitServer.h"
#include "kacard_abi.h"

#include <fcntl.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;

void Stop(int /*signal*/) {
    gStop = 1;
}

class KernelCard : public kaunit::Card {
  public:
    explicit KernelCard(int descriptor) : descriptor_(descriptor) {}

    void Answer(std::uint32_t handle, const kaunit::CardAnswer& answer) override {
        kacard_command command{};
        command.command = KACARD_ANSWER;
        command.handle = handle;
        command.ack = answer.ack;
        command.respond = answer.respond ? 1 : 0;
        command.rcode = answer.rcode;
        command.length = static_cast<__u32>(std::min(answer.data.size(), sizeof command.data));
        std::memcpy(command.data, answer.data.data(), command.length);
        Send(command);
    }

    void BusReset(bool unitPresent) override {
        kacard_command command{};
        command.command = KACARD_BUS_RESET;
        command.present = unitPresent ? 1 : 0;
        Send(command);
    }

  private:
    void Send(const kacard_command& command) {
        // ENOENT: the request was flushed or cancelled meanwhile, as on a real bus.
        if (write(descriptor_, &command, sizeof command) < 0 && errno != ENOENT) {
            std::cerr << "unit: /dev/kacard: " << std::strerror(errno) << "\n";
        }
    }

    int descriptor_;
};

void WriteFlash(const kasim::SimulatedKa& ka, const std::string& folder) {
    std::ofstream summary(folder + "/flash.txt");
    for (const auto& [component, name] : {std::pair{kasim::Component::Xilinx, "xilinx"},
                                          std::pair{kasim::Component::Mcore, "mcore"}}) {
        const kasim::FlashContents flash = ka.Flash(component);
        const char* state = flash.state == kasim::FlashContents::State::Installed ? "installed"
                            : flash.state == kasim::FlashContents::State::Erased  ? "erased"
                                                                                  : "factory";
        summary << name << " " << state << " " << flash.bytes.size() << " installs "
                << flash.installCount << " last " << kasim::VerifyOutcomeName(flash.lastOutcome)
                << "\n";
        std::ofstream bytes(folder + "/" + name + ".bin", std::ios::binary | std::ios::trunc);
        bytes.write(reinterpret_cast<const char*>(flash.bytes.data()),
                    static_cast<std::streamsize>(flash.bytes.size()));
    }
}

int Usage(const std::string& error) {
    std::cerr << "ka-unit-server: " << error << "\n"
              << "usage: ka-unit-server [--bus-fault KIND[:TARGET[:FIRST[:TIMES]]]]...\n"
              << "       [--return-after SECONDS] [--flash-dir DIR] [simulator unit options]\n"
              << "KIND: busy, no-response, ack-data-error, rcode-data-error, reset-pending,\n"
              << "      reset-flush, or silent alone; TARGET: block, crc, status, any\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<kaunit::BusFault> busFaults;
    std::optional<std::chrono::milliseconds> returnAfter;
    std::string flashFolder;
    std::vector<std::string> simulatorArguments{"ka-unit-server"};
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const bool valued =
            argument == "--bus-fault" || argument == "--return-after" || argument == "--flash-dir";
        if (!valued) {
            simulatorArguments.push_back(argument);
            continue;
        }
        if (index + 1 >= argc) {
            return Usage(argument + " needs a value");
        }
        const std::string value = argv[++index];
        if (argument == "--bus-fault") {
            const auto fault = kaunit::ParseBusFault(value);
            if (!fault) {
                return Usage("bad bus fault '" + value + "'");
            }
            busFaults.push_back(*fault);
        } else if (argument == "--return-after") {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !(seconds >= 0 && seconds <= 600)) {
                return Usage("bad seconds '" + value + "'");
            }
            returnAfter = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        } else {
            flashFolder = value;
        }
    }
    const auto parsed = kasim::ParseSimulatorCommandLine(simulatorArguments);
    if (parsed.outcome != kasim::ParsedCommandLine::Outcome::Run) {
        return Usage(parsed.error.empty() ? "see the simulator's --help for unit options"
                                          : parsed.error);
    }
    const kasim::SimulatorOptions& options = parsed.options;
    if (options.swapUnit || !options.replayFile.empty()) {
        return Usage("a swapped unit and a replay are the simulator's alone");
    }

    const int descriptor = open("/dev/kacard", O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        std::cerr << "ka-unit-server: /dev/kacard: " << std::strerror(errno) << "\n";
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = Stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    kasim::SimulatedKaConfig unit = options.unit;
    const bool plugNow = unit.present && options.appearAfterSeconds <= 0.0;
    unit.present = false;
    kasim::SimulatedKa ka(unit);
    for (const auto& fault : options.imageFaults) {
        ka.AddImageFault(fault);
    }
    if (options.identityReadFail) {
        for (const std::uint64_t address :
             {kasim::kSoftwareVersionRegister, kasim::kProductRevisionRegister}) {
            kasim::TransactionFault fault(kasim::Operation::ReadQuadlet, kIOFireWireAddressError);
            fault.repeat = 0;
            fault.address = address;
            ka.AddTransactionFault(fault);
        }
    }
    KernelCard card(descriptor);
    kaunit::UnitServer server(ka, card, busFaults, returnAfter);
    std::optional<std::chrono::steady_clock::time_point> appearAt;
    if (plugNow) {
        server.Plug();
    } else if (options.unit.present) {
        appearAt = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long>(options.appearAfterSeconds * 1000));
    }

    kacard_request request{};
    while (gStop == 0) {
        auto wake = server.ReturnTime();
        if (appearAt && (!wake || *appearAt < *wake)) {
            wake = appearAt;
        }
        int timeout = -1;
        if (wake) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *wake - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<long>(0, left.count()));
        }
        pollfd ready{descriptor, POLLIN, 0};
        const int polled = poll(&ready, 1, timeout);
        if (polled < 0 && errno != EINTR) {
            std::cerr << "ka-unit-server: poll: " << std::strerror(errno) << "\n";
            break;
        }
        if (polled == 0) {
            appearAt.reset();
            server.Plug();
            continue;
        }
        if (polled < 0) {
            continue;
        }
        const ssize_t got = read(descriptor, &request, sizeof request);
        if (got != static_cast<ssize_t>(sizeof request)) {
            continue;
        }
        kaunit::CardRequest taken;
        taken.handle = request.handle;
        taken.transactionCode = request.tcode;
        taken.offset = request.offset;
        taken.length = request.length;
        if (request.tcode != TCODE_READ_QUADLET_REQUEST &&
            request.tcode != TCODE_READ_BLOCK_REQUEST) {
            taken.data.assign(
                request.data,
                request.data + std::min<std::size_t>(request.length, sizeof request.data));
        }
        server.Serve(taken);
    }
    if (!flashFolder.empty()) {
        WriteFlash(ka, flashFolder);
    }
    close(descriptor);
    return 0;
}
