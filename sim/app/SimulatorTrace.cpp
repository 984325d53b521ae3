#include "SimulatorTrace.h"

#include <cstdio>
#include <string>

namespace kasim {

namespace {

std::string Hex(std::uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

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
        << "\",\"length\":" << flash.bytes.size() << ",\"crc\":\"" << Hex(flash.crc, 4)
        << "\",\"installs\":" << flash.installCount << ",\"outcome\":\""
        << VerifyOutcomeName(flash.lastOutcome) << "\"}\n";
}

}  // namespace

void WriteTrace(std::ostream& out, const SimulatedKa& ka) {
    for (const Transaction& transaction : ka.Transactions()) {
        out << "{\"seq\":" << transaction.sequence << ",\"op\":\""
            << OperationName(transaction.operation) << "\",\"address\":\""
            << Hex(transaction.address, 12) << "\",\"length\":" << transaction.length
            << ",\"moved\":" << transaction.moved << ",\"value\":\"" << Hex(transaction.value, 8)
            << "\",\"bytes\":\"" << HexBytes(transaction.bytes)
            << "\",\"status\":" << transaction.status
            << ",\"injected\":" << (transaction.injected ? "true" : "false")
            << ",\"generation\":" << transaction.generation
            << ",\"connection\":" << transaction.connection << ",\"thread\":\""
            << (transaction.onHomeThread ? "home" : "worker") << "\"}\n";
    }
    WriteFlash(out, "xilinx", ka.Flash(Component::Xilinx));
    WriteFlash(out, "mcore", ka.Flash(Component::Mcore));
}

}  // namespace kasim
