// The replayed unit: discovery talks to a simulated unit with the record's identity, an
// accepted update to the record.
#include "UpdateRecordReplay.h"

#include "SimulatedBackend.h"
#include "SimulatedKa.h"
#include "SimulatorTrace.h"

#include "record/RecordText.h"
#include "record/UpdateRecorder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <span>
#include <thread>

namespace kasim {
namespace {

using kaplatform::BusOperation;
using karecord::RecordedTransaction;
using karecord::RecordStep;
using karecord::UpdateRecordFile;

static_assert(karecord::kLongestSerialNumber == kSerialNumberBytes);

bool SameRequest(const RecordedTransaction& expected, const RecordedTransaction& request) {
    if (expected.operation != request.operation) {
        return false;
    }
    if (!kaplatform::MovesData(request.operation)) {
        return true;
    }
    return expected.address == request.address && expected.length == request.length &&
           (request.operation != BusOperation::WriteQuadlet || expected.value == request.value) &&
           (request.operation != BusOperation::WriteBlock || expected.digest == request.digest);
}

SimulatedKaConfig UnitOf(const karecord::RecordHeader& header) {
    SimulatedKaConfig unit;
    unit.guid = header.guid;
    unit.softwareVersion = header.softwareVersion;
    unit.productRevision = header.productRevision;
    // As the updater reads it: the register's bytes up to the first NUL.
    unit.serialNumber = SerialNumberFromText(header.serial);
    return unit;
}

}  // namespace

std::string DescribeRequest(const RecordedTransaction& request) {
    std::string text(kaplatform::BusOperationName(request.operation));
    if (kaplatform::MovesData(request.operation)) {
        text += " at " + karecord::HexNumber(request.address, 12) + ", " +
                std::to_string(request.length) + " bytes";
    }
    if (request.operation == BusOperation::WriteQuadlet) {
        text += ", value " + karecord::HexNumber(request.value, 8);
    } else if (request.operation == BusOperation::WriteBlock) {
        text += ", " + request.digest;
    }
    return text;
}

class ReplayBackend final : public SimulatedBackend {
  public:
    ReplayBackend(std::shared_ptr<SimulatedKa> ka, UpdateRecordFile record, bool keepPauses,
                  ReplayMismatch mismatch, std::chrono::microseconds longestWait,
                  std::chrono::microseconds longestWaits)
        : SimulatedBackend(std::move(ka)),
          record_(std::move(record)),
          keepPauses_(keepPauses),
          longestWait_(longestWait),
          waitsLeft_(longestWaits),
          longestWaits_(longestWaits),
          mismatch_(std::move(mismatch)) {}

    std::string Name() const override { return "replay"; }

    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<kaplatform::FireWireDevice>& device) override;

    // The recorded answer to request, or nothing after a mismatch.
    // optional: a request the record may leave out (a close the device interface made on its
    // own while going away, which it does not record).
    std::optional<RecordedTransaction> Answer(const RecordedTransaction& request,
                                              bool optional = false) {
        std::unique_lock lock(mutex_);
        while (next_ < record_.steps.size() && record_.steps[next_].event) {
            // The bus did this before the recorded answer: the new record hears it too.
            const std::string& what = record_.steps[next_].event->what;
            std::cout << "FireWire: " << karecord::TerminalText(what) << '\n';
            if (kaplatform::BusObserver* observer = Observer()) {
                observer->BusEvent(what);
            }
            ++next_;
        }
        if (next_ == record_.steps.size()) {
            if (optional) {
                return std::nullopt;
            }
            lock.unlock();
            mismatch_("the record ends at line " + std::to_string(record_.lines) +
                      "; the updater sent " + DescribeRequest(request));
            return std::nullopt;
        }
        const RecordStep& step = record_.steps[next_];
        if (optional && !SameRequest(step.transaction, request)) {
            return std::nullopt;
        }
        if (!SameRequest(step.transaction, request)) {
            const std::string said = "line " + std::to_string(step.line) + " of the record shows " +
                                     DescribeRequest(step.transaction) + "; the updater sent " +
                                     DescribeRequest(request);
            lock.unlock();
            mismatch_(said);
            return std::nullopt;
        }
        // Placed after the discovery calls the unit answered so far.
        answered_.push_back({next_, Ka()->TransactionCount()});
        ++next_;
        if (keepPauses_) {
            WaitFor(step);
        }
        return step.transaction;
    }

    // Every transaction of the replayed unit, in order: discovery's, then the recorded
    // answers, each after the discovery calls made before it.
    void WriteTrace(std::ostream& out) const {
        std::scoped_lock lock(mutex_);
        const std::vector<Transaction> discovery = Ka()->Transactions();
        std::uint64_t sequence = 0;
        std::size_t written = 0;
        for (const auto& [step, after] : answered_) {
            for (; written < after && written < discovery.size(); ++written) {
                WriteTraceTransaction(out, ++sequence, discovery[written]);
            }
            karecord::WrittenLine recordLine;
            recordLine["recordLine"] = record_.steps[step].line;
            WriteTraceLine(out, ++sequence, record_.steps[step].transaction, recordLine);
        }
        for (; written < discovery.size(); ++written) {
            WriteTraceTransaction(out, ++sequence, discovery[written]);
        }
    }

    bool Finished() const {
        std::scoped_lock lock(mutex_);
        return std::none_of(record_.steps.begin() + static_cast<std::ptrdiff_t>(next_),
                            record_.steps.end(),
                            [](const RecordStep& step) { return !step.event; });
    }

  private:
    // Answers as far apart as the record's, none of them further than the longest step of
    // an update, and all of them within a few updates' time: a record's time is whatever its
    // file says.
    void WaitFor(const RecordStep& step) {
        const std::chrono::microseconds recorded(step.microseconds);
        if (!started_) {
            started_ = true;
            lastRecorded_ = recorded;
            lastAnswer_ = std::chrono::steady_clock::now();
        }
        const std::chrono::microseconds gap = recorded - lastRecorded_;
        lastRecorded_ = recorded;
        if (gap.count() <= 0) {
            return;
        }
        if (waitsLeft_.count() <= 0) {
            if (!toldWaitsSpent_) {
                toldWaitsSpent_ = true;
                std::cout << "sim: the replay has waited " << Seconds(longestWaits_)
                          << " s in all; from line " << step.line
                          << " of the record on it answers without waiting\n";
            }
            return;
        }
        const std::chrono::microseconds wait = std::min({gap, longestWait_, waitsLeft_});
        // A wait as long as the longest is said too: the record's may have been longer.
        if (wait < gap || wait == longestWait_) {
            std::cout << "sim: line " << step.line << " of the record comes " << Seconds(gap)
                      << " s after the one before; the replay waits " << Seconds(wait) << " s\n";
        }
        waitsLeft_ -= wait;
        lastAnswer_ += wait;
        std::this_thread::sleep_until(lastAnswer_);
    }

    // Whole seconds as they are, a fraction to the microsecond without trailing zeros.
    static std::string Seconds(std::chrono::microseconds time) {
        std::string text = std::to_string(time.count() / 1000000);
        if (const auto fraction = time.count() % 1000000; fraction != 0) {
            std::string digits = std::to_string(1000000 + fraction).substr(1);
            digits.erase(digits.find_last_not_of('0') + 1);
            text += "." + digits;
        }
        return text;
    }

    UpdateRecordFile record_;
    bool keepPauses_;
    std::chrono::microseconds longestWait_;
    std::chrono::microseconds waitsLeft_;
    std::chrono::microseconds longestWaits_;
    bool toldWaitsSpent_ = false;
    ReplayMismatch mismatch_;
    mutable std::mutex mutex_;
    std::size_t next_ = 0;
    // The recorded steps that answered, each with the count of discovery calls before it.
    struct Answered {
        std::size_t step;
        std::size_t after;
    };
    std::vector<Answered> answered_;
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
        if (!karecord::IsUpdateUnderway()) {
            return discovery_->Open();
        }
        const auto answer = Ask(BusOperation::Open);
        return answer ? answer->status : kIOReturnIOError;
    }

    void Close() override {
        if (!karecord::IsUpdateUnderway()) {
            discovery_->Close();
            return;
        }
        static_cast<void>(backend_.Answer(Request(BusOperation::Close), true));
    }

    IOReturn GetBusGeneration(std::uint32_t& generation) override {
        if (!karecord::IsUpdateUnderway()) {
            return discovery_->GetBusGeneration(generation);
        }
        const auto answer = Ask(BusOperation::GetGeneration);
        if (!answer) {
            return kIOReturnIOError;
        }
        generation = answer->value;
        return answer->status;
    }

    std::uint32_t GenerationSentIn() const override { return generationSentIn_; }

    IOReturn Read(const kaplatform::FireWireTarget& target, void* buffer, std::uint32_t& size,
                  bool failOnReset, std::uint32_t generation) override {
        if (!karecord::IsUpdateUnderway()) {
            return Discovered(discovery_->Read(target, buffer, size, failOnReset, generation));
        }
        const auto answer = Ask(BusOperation::ReadBlock, target, size, 0, generation);
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
        if (!karecord::IsUpdateUnderway()) {
            return Discovered(discovery_->ReadQuadlet(target, value, failOnReset, generation));
        }
        const auto answer = Ask(BusOperation::ReadQuadlet, target, 4, 0, generation);
        if (!answer) {
            return kIOReturnIOError;
        }
        value = answer->value;
        return answer->status;
    }

    IOReturn Write(const kaplatform::FireWireTarget& target, const void* buffer,
                   std::uint32_t& size, bool failOnReset, std::uint32_t generation) override {
        if (!karecord::IsUpdateUnderway()) {
            return Discovered(discovery_->Write(target, buffer, size, failOnReset, generation));
        }
        const std::span<const std::uint8_t> sent(static_cast<const std::uint8_t*>(buffer),
                                                 buffer != nullptr ? size : 0);
        RecordedTransaction request = Request(BusOperation::WriteBlock, target, size);
        request.digest = karecord::BlockDigest(sent);
        const auto answer = Answered(backend_.Answer(request), generation);
        if (!answer) {
            return kIOReturnIOError;
        }
        size = std::min(size, answer->moved);
        return answer->status;
    }

    IOReturn WriteQuadlet(const kaplatform::FireWireTarget& target, std::uint32_t value,
                          bool failOnReset, std::uint32_t generation) override {
        if (!karecord::IsUpdateUnderway()) {
            return Discovered(discovery_->WriteQuadlet(target, value, failOnReset, generation));
        }
        const auto answer = Ask(BusOperation::WriteQuadlet, target, 4, value, generation);
        return answer ? answer->status : kIOReturnIOError;
    }

  private:
    static RecordedTransaction Request(BusOperation operation,
                                       const kaplatform::FireWireTarget& target = {},
                                       std::uint32_t length = 0, std::uint32_t value = 0) {
        RecordedTransaction request;
        request.operation = operation;
        request.address = target.offset;
        request.length = length;
        request.value = value;
        return request;
    }

    std::optional<RecordedTransaction> Ask(BusOperation operation,
                                           const kaplatform::FireWireTarget& target = {},
                                           std::uint32_t length = 0, std::uint32_t value = 0,
                                           std::uint32_t generation = 0) {
        return Answered(backend_.Answer(Request(operation, target, length, value)), generation);
    }

    // A transfer the record answered went in the generation the record logged (an older
    // record's is the one the call named, and its replay logs that again); one the record
    // did not answer never left.
    std::optional<RecordedTransaction> Answered(std::optional<RecordedTransaction> answer,
                                                std::uint32_t generation) {
        generationSentIn_ = answer ? answer->generation : generation;
        return answer;
    }

    IOReturn Discovered(IOReturn status) {
        generationSentIn_ = discovery_->GenerationSentIn();
        return status;
    }

    ReplayBackend& backend_;
    std::unique_ptr<kaplatform::FireWireDevice> discovery_;
    std::uint32_t generationSentIn_ = 0;
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
    std::chrono::microseconds longestWait, std::chrono::microseconds longestWaits) {
    auto ka = std::make_shared<SimulatedKa>(UnitOf(record.header));
    return std::make_shared<ReplayBackend>(std::move(ka), std::move(record), keepPauses,
                                           std::move(mismatch), longestWait, longestWaits);
}

bool ReplayFinished(const kaplatform::FireWireBackend& replay) {
    return static_cast<const ReplayBackend&>(replay).Finished();
}

void WriteReplayTrace(std::ostream& out, const kaplatform::FireWireBackend& replay) {
    static_cast<const ReplayBackend&>(replay).WriteTrace(out);
}

}  // namespace kasim
