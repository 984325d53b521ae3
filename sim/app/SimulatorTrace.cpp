#include "SimulatorTrace.h"

#include "UpdateRecorder.h"

#include <string>

namespace kasim {

namespace {

std::string_view StateName(FlashContents::State state) {
    switch (state) {
        case FlashContents::State::Factory:
            return "factory";
        case FlashContents::State::Erased:
            return "erased";
        case FlashContents::State::Installed:
            return "installed";
    }
    return "unknown";
}

void WriteFlash(std::ostream& out, std::string_view name, const FlashContents& flash) {
    out << "{\"flash\":\"" << name << "\",\"state\":\"" << StateName(flash.state)
        << "\",\"length\":" << flash.bytes.size() << ",\"crc\":\""
        << kaplatform::HexNumber(flash.crc, 4) << "\",\"installs\":" << flash.installCount
        << ",\"outcome\":\"" << VerifyOutcomeName(flash.lastOutcome) << "\"}\n";
}

}  // namespace

void WriteTrace(std::ostream& out, const SimulatedKa& ka) {
    for (const Transaction& transaction : ka.Transactions()) {
        out << "{\"seq\":" << transaction.sequence << ",\"op\":\""
            << OperationName(transaction.operation) << "\",\"address\":\""
            << kaplatform::HexNumber(transaction.address, 12)
            << "\",\"length\":" << transaction.length << ",\"moved\":" << transaction.moved
            << ",\"value\":\"" << kaplatform::HexNumber(transaction.value, 8) << "\",\"bytes\":\""
            << kaplatform::HexDigits(transaction.bytes) << "\",\"status\":" << transaction.status
            << ",\"injected\":" << (transaction.injected ? "true" : "false")
            << ",\"generation\":" << transaction.generation
            << ",\"connection\":" << transaction.connection << ",\"thread\":\""
            << (transaction.onHomeThread ? "home" : "worker") << "\"}\n";
    }
    WriteFlash(out, "xilinx", ka.Flash(Component::Xilinx));
    WriteFlash(out, "mcore", ka.Flash(Component::Mcore));
}

}  // namespace kasim
