#include "UpdateRecordReplay.h"

#include "SimulatedBackend.h"

#include "RecordText.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

namespace kasim {
namespace {

bool SameRequest(const RecordStep& recorded, const kaplatform::RecordedTransaction& request,
                 const std::string& digest) {
    const kaplatform::RecordedTransaction& expected = recorded.transaction;
    if (expected.operation != request.operation) {
        return false;
    }
    if (request.operation == "open" || request.operation == "close" ||
        request.operation == "get-generation") {
        return true;
    }
    return expected.address == request.address && expected.length == request.length &&
           (request.operation != "write-quadlet" || expected.value == request.value) &&
           (request.operation != "write-block" || recorded.digest == digest);
}

}  // namespace

std::optional<UpdateRecordFile> ReadUpdateRecord(const std::filesystem::path& file,
                                                 std::string& error) {
    // Built piece by piece: GCC 12 at -O3 takes "'" + std::string&& for an overlapping copy
    // (-Wrestrict) and the benchmark build stops.
    std::string name = "'";
    name += kaplatform::TerminalText(file.string());
    name += "'";
    std::string text;
    if (std::string defect = kaplatform::ReadUntrustedFile(file, kLargestUpdateRecord, text);
        !defect.empty()) {
        error = name + " " + defect;
        return std::nullopt;
    }
    std::optional<UpdateRecordFile> record = ParseUpdateRecord(text, error);
    if (!record) {
        error = name + ": " + error;
    }
    return record;
}

std::string DescribeRequest(const kaplatform::RecordedTransaction& request,
                            const std::string& digest) {
    const std::string address = kaplatform::HexNumber(request.address, 12);
    std::string text = request.operation;
    if (request.operation.find("quadlet") != std::string::npos ||
        request.operation.find("block") != std::string::npos) {
        text += " at " + address + ", " + std::to_string(request.length) + " bytes";
    }
    if (request.operation == "write-quadlet") {
        text += ", value " + kaplatform::HexNumber(request.value, 8);
    } else if (request.operation == "write-block") {
        text += ", " + digest;
    }
    return text;
}

class ReplayBackend final : public SimulatedBackend {
  public:
    ReplayBackend(std::shared_ptr<SimulatedKa> ka, UpdateRecordFile record, bool keepPauses,
                  ReplayMismatch mismatch, std::chrono::microseconds longestWait)
        : SimulatedBackend(std::move(ka)),
          record_(std::move(record)),
          keepPauses_(keepPauses),
          longestWait_(longestWait),
          mismatch_(std::move(mismatch)) {}

    std::string Name() const override { return "replay"; }

    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override;

    // The recorded answer to request, or nothing after a mismatch.
    // optional: a request the record may leave out (a close the device interface made on its
    // own while going away, which it does not record).
    std::optional<kaplatform::RecordedTransaction> Answer(
        const kaplatform::RecordedTransaction& request, const std::string& digest,
        bool optional = false) {
        std::unique_lock lock(mutex_);
        while (next_ < record_.steps.size() && !record_.steps[next_].event.empty()) {
            // The bus did this before the recorded answer: the new record hears it too.
            std::cout << "FireWire: " << kaplatform::TerminalText(record_.steps[next_].event)
                      << '\n';
            kaplatform::RecordBusEvent(record_.steps[next_].event);
            ++next_;
        }
        if (next_ == record_.steps.size()) {
            if (optional) {
                return std::nullopt;
            }
            lock.unlock();
            mismatch_("the record ends at line " + std::to_string(record_.lines) +
                      "; the updater sent " + DescribeRequest(request, digest));
            return std::nullopt;
        }
        const RecordStep& step = record_.steps[next_];
        if (optional && !SameRequest(step, request, digest)) {
            return std::nullopt;
        }
        if (!SameRequest(step, request, digest)) {
            const std::string said = "line " + std::to_string(step.line) + " of the record shows " +
                                     DescribeRequest(step.transaction, step.digest) +
                                     "; the updater sent " + DescribeRequest(request, digest);
            lock.unlock();
            mismatch_(said);
            return std::nullopt;
        }
        ++next_;
        if (keepPauses_) {
            WaitFor(step);
        }
        return step.transaction;
    }

    // The recorded transactions that answered the updater, in order.
    std::vector<RecordStep> Answered() const {
        std::scoped_lock lock(mutex_);
        std::vector<RecordStep> answered;
        for (std::size_t index = 0; index < next_; ++index) {
            if (record_.steps[index].event.empty()) {
                answered.push_back(record_.steps[index]);
            }
        }
        return answered;
    }

    bool Finished() const {
        std::scoped_lock lock(mutex_);
        return std::none_of(record_.steps.begin() + static_cast<std::ptrdiff_t>(next_),
                            record_.steps.end(),
                            [](const RecordStep& step) { return step.event.empty(); });
    }

  private:
    // Answers as far apart as the record's, none of them further than the longest step of
    // an update: a record's time is whatever its file says.
    void WaitFor(const RecordStep& step) {
        const std::chrono::microseconds recorded(step.microseconds);
        if (!started_) {
            started_ = true;
            lastRecorded_ = recorded;
            lastAnswer_ = std::chrono::steady_clock::now();
        }
        std::chrono::microseconds gap = recorded - lastRecorded_;
        lastRecorded_ = recorded;
        if (gap > longestWait_) {
            std::cout << "sim: line " << step.line << " of the record comes "
                      << gap.count() / 1000000 << " s after the one before; the replay waits "
                      << static_cast<double>(longestWait_.count()) / 1e6 << " s\n";
            gap = longestWait_;
        }
        lastAnswer_ += gap;
        std::this_thread::sleep_until(lastAnswer_);
    }

    UpdateRecordFile record_;
    bool keepPauses_;
    std::chrono::microseconds longestWait_;
    ReplayMismatch mismatch_;
    mutable std::mutex mutex_;
    std::size_t next_ = 0;
    bool started_ = false;
    std::chrono::microseconds lastRecorded_{0};
    std::chrono::steady_clock::time_point lastAnswer_;
};

namespace {

// Discovery talks to the simulated unit; an accepted update to the record.
class ReplayDevice final : public kaplatform::FireWireDevice {
  public:
    ReplayDevice(ReplayBackend& backend, std::unique_ptr<kaplatform::FireWireDevice> discovery)
        : backend_(backend), discovery_(std::move(discovery)) {}

    IOReturn Open() override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->Open();
        }
        const auto answer = Ask("open");
        return answer ? answer->status : kIOReturnIOError;
    }

    void Close() override {
        if (!kaplatform::IsUpdateUnderway()) {
            discovery_->Close();
            return;
        }
        static_cast<void>(backend_.Answer(Request("close"), {}, true));
    }

    IOReturn GetBusGeneration(std::uint32_t& generation) override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->GetBusGeneration(generation);
        }
        const auto answer = Ask("get-generation");
        if (!answer) {
            return kIOReturnIOError;
        }
        generation = answer->value;
        return answer->status;
    }

    IOReturn Read(const kaplatform::FireWireTarget& target, void* buffer, std::uint32_t& size,
                  bool failOnReset, std::uint32_t generation) override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->Read(target, buffer, size, failOnReset, generation);
        }
        const auto answer = Ask("read-block", target, size);
        if (!answer) {
            return kIOReturnIOError;
        }
        size = std::min<std::uint32_t>(
            {size, answer->moved, static_cast<std::uint32_t>(answer->bytes.size())});
        if (size != 0) {
            std::memcpy(buffer, answer->bytes.data(), size);
        }
        return answer->status;
    }

    IOReturn ReadQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t& value,
                         bool failOnReset, std::uint32_t generation) override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->ReadQuadlet(target, value, failOnReset, generation);
        }
        const auto answer = Ask("read-quadlet", target, 4);
        if (!answer) {
            return kIOReturnIOError;
        }
        value = answer->value;
        return answer->status;
    }

    IOReturn Write(const kaplatform::FireWireTarget& target, const void* buffer,
                   std::uint32_t& size, bool failOnReset, std::uint32_t generation) override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->Write(target, buffer, size, failOnReset, generation);
        }
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        const std::vector<std::uint8_t> sent(bytes, bytes + (buffer != nullptr ? size : 0));
        const auto answer = Ask("write-block", target, size, 0, kaplatform::BlockDigest(sent));
        if (!answer) {
            return kIOReturnIOError;
        }
        size = std::min(size, answer->moved);
        return answer->status;
    }

    IOReturn WriteQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t value,
                          bool failOnReset, std::uint32_t generation) override {
        if (!kaplatform::IsUpdateUnderway()) {
            return discovery_->WriteQuadlet(target, value, failOnReset, generation);
        }
        const auto answer = Ask("write-quadlet", target, 4, value);
        return answer ? answer->status : kIOReturnIOError;
    }

  private:
    static kaplatform::RecordedTransaction Request(const char* operation,
                                                   const kaplatform::FireWireTarget& target = {},
                                                   std::uint32_t length = 0,
                                                   std::uint32_t value = 0) {
        kaplatform::RecordedTransaction request;
        request.operation = operation;
        request.address = target.offset;
        request.length = length;
        request.value = value;
        return request;
    }

    std::optional<kaplatform::RecordedTransaction> Ask(
        const char* operation, const kaplatform::FireWireTarget& target = {},
        std::uint32_t length = 0, std::uint32_t value = 0, const std::string& digest = {}) {
        return backend_.Answer(Request(operation, target, length, value), digest);
    }

    ReplayBackend& backend_;
    std::unique_ptr<kaplatform::FireWireDevice> discovery_;
};

}  // namespace

IOReturn ReplayBackend::CreateDevice(const std::string& unitName,
                                     std::unique_ptr<kaplatform::FireWireDevice>& device) {
    std::unique_ptr<kaplatform::FireWireDevice> discovery;
    const IOReturn status = SimulatedBackend::CreateDevice(unitName, discovery);
    if (status != kIOReturnSuccess) {
        return status;
    }
    device = std::make_unique<ReplayDevice>(*this, std::move(discovery));
    return kIOReturnSuccess;
}

std::shared_ptr<kaplatform::FireWireBackend> MakeReplayBackend(
    UpdateRecordFile record, bool keepPauses, ReplayMismatch mismatch,
    std::chrono::microseconds longestWait) {
    auto ka = std::make_shared<SimulatedKa>(record.unit);
    return std::make_shared<ReplayBackend>(std::move(ka), std::move(record), keepPauses,
                                           std::move(mismatch), longestWait);
}

bool ReplayFinished(const kaplatform::FireWireBackend& replay) {
    return static_cast<const ReplayBackend&>(replay).Finished();
}

void WriteReplayTrace(std::ostream& out, const kaplatform::FireWireBackend& replay) {
    std::uint64_t sequence = 0;
    for (const RecordStep& step : static_cast<const ReplayBackend&>(replay).Answered()) {
        const kaplatform::RecordedTransaction& transaction = step.transaction;
        out << "{\"seq\":" << ++sequence << ",\"op\":\"" << transaction.operation
            << "\",\"address\":\"" << kaplatform::HexNumber(transaction.address, 12)
            << "\",\"length\":" << transaction.length << ",\"moved\":" << transaction.moved
            << ",\"value\":\"" << kaplatform::HexNumber(transaction.value, 8) << "\",\"bytes\":\""
            << kaplatform::HexDigits(transaction.bytes) << "\",\"status\":" << transaction.status
            << ",\"generation\":" << transaction.generation << ",\"recordLine\":" << step.line
            << "}\n";
    }
}

}  // namespace kasim
