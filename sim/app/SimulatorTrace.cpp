#include "SimulatorTrace.h"

#include "record/RecordText.h"

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

void WriteFlash(std::ostream& out, std::string_view name, const FlashContents& flash,
                std::optional<std::uint64_t> unitGuid) {
    out << "{\"flash\":\"" << name << "\",\"state\":\"" << StateName(flash.state)
        << "\",\"length\":" << flash.bytes.size() << ",\"crc\":\""
        << karecord::HexNumber(flash.crc, 4) << "\",\"installs\":" << flash.installCount
        << ",\"outcome\":\"" << VerifyOutcomeName(flash.lastOutcome) << "\"";
    if (unitGuid) {
        out << ",\"unit\":\"" << karecord::HexNumber(*unitGuid, 16) << "\"";
    }
    out << "}\n";
}

}  // namespace

void WriteTraceLine(std::ostream& out, std::uint64_t sequence,
                    const karecord::RecordedTransaction& transaction,
                    const karecord::WrittenLine& extra) {
    karecord::WrittenLine line;
    line["seq"] = sequence;
    karecord::EncodeTransaction(line, transaction);
    for (const auto& [key, value] : extra.items()) {
        line[key] = value;
    }
    out << line.dump() << '\n';
}

void WriteTraceTransaction(std::ostream& out, std::uint64_t sequence,
                           const Transaction& transaction, std::optional<std::uint64_t> unitGuid) {
    kaplatform::BusTransaction seen;
    seen.operation = transaction.operation;
    seen.address = transaction.address;
    seen.length = transaction.length;
    seen.moved = transaction.moved;
    seen.value = transaction.value;
    seen.bytes = transaction.bytes;
    seen.status = transaction.status;
    seen.generation = transaction.generation;
    karecord::WrittenLine extra;
    extra["injected"] = transaction.injected;
    extra["connection"] = transaction.connection;
    extra["thread"] = transaction.onHomeThread ? "home" : "worker";
    if (unitGuid) {
        extra["unit"] = karecord::HexNumber(*unitGuid, 16);
    }
    WriteTraceLine(out, sequence, karecord::RecordedFrom(seen), extra);
}

void WriteTrace(std::ostream& out, const SimulatedKa& ka, std::optional<std::uint64_t> unitGuid) {
    for (const Transaction& transaction : ka.Transactions()) {
        WriteTraceTransaction(out, transaction.sequence, transaction, unitGuid);
    }
    WriteFlash(out, "xilinx", ka.Flash(Component::Xilinx), unitGuid);
    WriteFlash(out, "mcore", ka.Flash(Component::Mcore), unitGuid);
}

}  // namespace kasim
