#include "SimulatorTrace.h"

#include "record/RecordText.h"

#include <cstdio>
#include <random>
#include <string>
#include <system_error>

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

TraceFile::TraceFile(std::filesystem::path target) : target_(std::move(target)) {}

TraceFile::~TraceFile() {
    out_.close();
    Abandon();
}

bool TraceFile::Open() {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(target_, error);
    if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        // A pipe or a terminal (/dev/stdout) is read as it is written: nothing to put in
        // place, and nothing of it to keep.
        direct_ = true;
        out_.open(target_, std::ios::out | std::ios::trunc);
        return static_cast<bool>(out_);
    }
    // Through a link, the file it names is the one replaced; the link stays.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(target_, error))) {
        target_ = std::filesystem::weakly_canonical(target_, error);
        if (error) {
            return false;
        }
    }
    // A name nobody else's file has: made only where none is, never over one.
    std::random_device random;
    const std::filesystem::path folder = target_.parent_path();
    for (int attempt = 0; attempt < 100 && written_.empty(); ++attempt) {
        // Built piece by piece: GCC 12 at -O3 takes the chained additions for an overlapping
        // copy (-Wrestrict).
        std::string name = ".";
        name += target_.filename().string();
        name += ".new-";
        name += std::to_string(random());
        const std::filesystem::path candidate = folder / name;
        std::FILE* made = std::fopen(candidate.c_str(), "wx");
        if (made != nullptr) {
            std::fclose(made);
            written_ = candidate;
        } else if (std::error_code error;
                   !std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
            return false;
        }
    }
    if (written_.empty()) {
        return false;
    }
    out_.open(written_, std::ios::out | std::ios::trunc);
    return static_cast<bool>(out_);
}

bool TraceFile::Commit() {
    out_.close();
    if (direct_) {
        return static_cast<bool>(out_);
    }
    std::error_code error;
    if (!out_ || written_.empty()) {
        Abandon();
        return false;
    }
    std::filesystem::rename(written_, target_, error);
    if (error) {
        Abandon();
        return false;
    }
    // The name stays: removing it later finds nothing, as no other file takes it.
    return true;
}

void TraceFile::Abandon() noexcept {
    if (!written_.empty()) {
        std::error_code error;
        std::filesystem::remove(written_, error);
    }
}

}  // namespace kasim
