// The simulated Ka's registers, data window, flash and erase: what the unit does with each access.
// access.
#include "SimulatedKaState.h"

#include "FireWireStatus.h"

#include <algorithm>

namespace kasim {

std::uint32_t SimulatedKa::State::SoftwareVersion() const {
    return (mcoreVersion << 16) | (xilinxVersion & 0xFFFF);
}

void SimulatedKa::State::SetComponentVersion(Component which, std::uint32_t version) {
    (which == Component::Xilinx ? xilinxVersion : mcoreVersion) = version & 0xFFFF;
}

void SimulatedKa::State::EndTransfer() {
    updateActive = false;
    phase = Phase::Idle;
    received.clear();
    received.shrink_to_fit();
    statusValue = kawire::kStatusReady;
}

std::uint32_t SimulatedKa::State::ReadStatus() {
    if (phase == Phase::Ready && restartBusyPollsLeft > 0) {
        --restartBusyPollsLeft;
        return kawire::kStatusBusy;
    }
    if (phase != Phase::Erasing) {
        return statusValue;
    }
    switch (erase) {
        case Erase::Fails:
            return kawire::kStatusEraseFailed;
        case Erase::NeverEnds:
            return kawire::kStatusBusy;
        case Erase::Normal:
            break;
    }
    if (erasePollsLeft > 0) {
        --erasePollsLeft;
        return kawire::kStatusBusy;
    }
    phase = Phase::Receiving;
    return kawire::kStatusReady;
}

IOReturn SimulatedKa::State::ReadRegister(std::uint64_t address, std::uint32_t& value) {
    switch (address) {
        case kUpdateControlRegister:
            value = updateActive ? kawire::kControlUpdateActive : 0;
            return kIOReturnSuccess;
        case kSoftwareVersionRegister:
            value = SoftwareVersion();
            return kIOReturnSuccess;
        case kProductRevisionRegister:
            value = config.productRevision;
            return kIOReturnSuccess;
        case kStatusRegister:
            value = ReadStatus();
            return kIOReturnSuccess;
        default:
            break;
    }
    if (address == kDataWindow || IsSerialNumber(address)) {
        return kIOFireWireTypeError;
    }
    return kIOFireWireAddressError;  // write-only registers among them
}

Component SimulatedKa::State::StartImage(Connection& connection) {
    const Component image = !connection.image      ? Component::Xilinx
                            : connection.resumable ? *connection.image
                                                   : OtherImage(*connection.image);
    connection.image = image;
    connection.resumable = false;
    return image;
}

void SimulatedKa::State::BeginUpdate(Connection& connection) {
    // Which image this is, as far as the unit can tell before the erase command. A start
    // that broke off is taken up again by the same image, and its faults with it.
    const bool again = connection.resumable;
    if (!connection.openedForStart) {
        StartImage(connection);
    }
    connection.openedForStart = false;
    EndTransfer();
    updateActive = true;
    phase = Phase::Ready;
    restartBusyPollsLeft = again ? config.restartBusyPolls : 0;
    if (const auto* fault = ImageFaultFor(ImageFaultKind::NotReady, *connection.image)) {
        statusValue = fault->statusValue;
        EndStart(connection);
    }
}

IOReturn SimulatedKa::State::StartErase(Connection& connection, std::uint32_t command) {
    if (!updateActive) {
        return kIOFireWireConflictError;
    }
    if (command != kawire::kUpdateCommandXilinx && command != kawire::kUpdateCommandMcore) {
        return kIOFireWireDataError;
    }
    component = command == kawire::kUpdateCommandXilinx ? Component::Xilinx : Component::Mcore;
    FlashContents& contents = flash[IndexOf(component)];
    contents.state = FlashContents::State::Erased;
    contents.bytes.clear();
    contents.crc = 0;
    contents.lastOutcome = VerifyOutcome::None;
    SetComponentVersion(component, 0);
    received.clear();
    busResetDone = false;
    erase = ImageFaultFor(ImageFaultKind::EraseFailure, component)   ? Erase::Fails
            : ImageFaultFor(ImageFaultKind::EraseTimeout, component) ? Erase::NeverEnds
                                                                     : Erase::Normal;
    erasePollsLeft = config.erasePolls;
    phase = erase == Erase::Normal && erasePollsLeft == 0 ? Phase::Receiving : Phase::Erasing;
    // The erase names the image for good; one whose erase fails or never ends is over.
    connection.image = component;
    connection.resumable = erase == Erase::Normal && statusValue == kawire::kStatusReady;
    return kIOReturnSuccess;
}

VerifyOutcome SimulatedKa::State::Check(std::uint32_t crcWord) const {
    if ((crcWord >> 16) != 0) {
        return VerifyOutcome::BadCrcWord;
    }
    if (received.size() < kFirmwareHeaderBytes) {
        return VerifyOutcome::BadHeader;
    }
    const std::uint8_t* header = received.data();
    if (ReadBigEndian(header + kawire::kHeaderValidAt, 2) != kawire::kHeaderValid ||
        ReadBigEndian(header + kawire::kHeaderVersionAt, 2) != kawire::kHeaderVersion ||
        ReadBigEndian(header + kawire::kHeaderCrcImageAt, 2) != kawire::kHeaderCrcImage ||
        ReadBigEndian(header + kawire::kHeaderReserved0At, 2) != kawire::kHeaderReserved16 ||
        ReadBigEndian(header + kawire::kHeaderReserved1At, 4) != kawire::kHeaderReserved32 ||
        ReadBigEndian(header + kawire::kHeaderReserved2At, 4) != kawire::kHeaderReserved32) {
        return VerifyOutcome::BadHeader;
    }
    const std::size_t sizeB = ReadBigEndian(header + kawire::kHeaderSizeAt, 4);
    const std::size_t dataBytes = received.size() - kFirmwareHeaderBytes;
    const std::size_t padded = (sizeB + 3) / 4 * 4;
    const bool paddingIsZero = std::all_of(
        received.begin() +
            static_cast<std::ptrdiff_t>(kFirmwareHeaderBytes + std::min(sizeB, dataBytes)),
        received.end(), [](std::uint8_t byte) { return byte == 0; });
    if (sizeB == 0 || (dataBytes != sizeB && (dataBytes != padded || !paddingIsZero))) {
        return VerifyOutcome::SizeMismatch;
    }
    const std::uint16_t crc = Crc16Xmodem(received.data() + kFirmwareHeaderBytes, dataBytes);
    return crc == crcWord ? VerifyOutcome::Installed : VerifyOutcome::CrcMismatch;
}

IOReturn SimulatedKa::State::Verify(std::uint32_t crcWord) {
    if (!updateActive || phase != Phase::Receiving) {
        return kIOFireWireConflictError;
    }
    FlashContents& contents = flash[IndexOf(component)];
    const ImageFault* rejection = ImageFaultFor(ImageFaultKind::CrcRejected, component);
    const VerifyOutcome outcome = rejection != nullptr ? VerifyOutcome::Rejected : Check(crcWord);
    contents.lastOutcome = outcome;
    IOReturn status = kIOReturnSuccess;
    if (outcome == VerifyOutcome::Installed) {
        const std::size_t sizeB = ReadBigEndian(received.data() + kawire::kHeaderSizeAt, 4);
        contents.state = FlashContents::State::Installed;
        contents.bytes.assign(
            received.begin() + kFirmwareHeaderBytes,
            received.begin() + static_cast<std::ptrdiff_t>(kFirmwareHeaderBytes + sizeB));
        contents.crc = Crc16Xmodem(contents.bytes.data(), contents.bytes.size());
        ++contents.installCount;
        SetComponentVersion(component, component == Component::Xilinx ? config.xilinxImageVersion
                                                                      : config.mcoreImageVersion);
    } else {
        status = rejection != nullptr ? StatusOf(*rejection, config.crcRejectStatus)
                                      : config.crcRejectStatus;
    }
    EndTransfer();
    return status;
}

IOReturn SimulatedKa::State::WriteRegister(Connection& connection, std::uint64_t address,
                                           std::uint32_t value) {
    switch (address) {
        case kUpdateControlRegister:
            if (value == kawire::kControlBeginUpdate) {
                BeginUpdate(connection);
                return kIOReturnSuccess;
            }
            if (value == kawire::kControlCancel) {
                EndTransfer();
                return kIOReturnSuccess;
            }
            return kIOFireWireDataError;
        case kUpdateCommandRegister:
            return StartErase(connection, value);
        case kCrcRegister:
            EndStart(connection);  // checked, installed or not: the image is done
            return Verify(value);
        default:
            break;
    }
    if (address == kDataWindow || IsSerialNumber(address)) {
        return kIOFireWireTypeError;
    }
    return kIOFireWireAddressError;  // read-only registers among them
}

IOReturn SimulatedKa::State::ReceiveData(Connection& connection, const std::uint8_t* bytes,
                                         std::uint32_t length) {
    if (!updateActive || phase != Phase::Receiving) {
        return kIOFireWireConflictError;
    }
    if (length > config.maxBlockBytes) {
        return kIOFireWireTypeError;
    }
    if (received.size() + length > kFirmwareHeaderBytes + std::size_t{config.maxImageBytes}) {
        return kIOFireWireDataError;
    }
    const std::size_t dataBefore =
        received.size() > kFirmwareHeaderBytes ? received.size() - kFirmwareHeaderBytes : 0;
    const std::size_t dataAfter = received.size() + length > kFirmwareHeaderBytes
                                      ? received.size() + length - kFirmwareHeaderBytes
                                      : 0;
    const auto covers = [&](const ImageFault* fault) {
        return fault != nullptr && fault->dataOffset >= dataBefore && fault->dataOffset < dataAfter;
    };
    if (const auto* fault = ImageFaultFor(ImageFaultKind::BlockFailure, component); covers(fault)) {
        EndStart(connection);
        return StatusOf(*fault, kIOReturnIOError);
    }
    if (const auto* fault = ImageFaultFor(ImageFaultKind::Unplug, component);
        covers(fault) && !unplugDone[IndexOf(component)]) {
        // Once an image: a unit that comes back takes the image's next start whole.
        unplugDone[IndexOf(component)] = true;
        DoUnplug();
        return StatusOf(*fault, kIOReturnNotResponding);
    }
    if (const auto* fault = ImageFaultFor(ImageFaultKind::BusReset, component);
        covers(fault) && !busResetDone) {
        busResetDone = true;
        ++generation;
        EndStart(connection);
        return StatusOf(*fault, kIOFireWireBusReset);
    }
    bool& writeFaultDone = this->writeFaultDone[IndexOf(component)];
    if (const auto* fault = ImageFaultFor(ImageFaultKind::Damaged, component);
        covers(fault) && !writeFaultDone) {
        writeFaultDone = true;
        return StatusOf(*fault, kIOFireWireWriteMayHaveBeenTaken);
    }
    received.insert(received.end(), bytes, bytes + length);
    if (const auto* fault = ImageFaultFor(ImageFaultKind::AnswerLost, component);
        covers(fault) && !writeFaultDone) {
        writeFaultDone = true;
        return StatusOf(*fault, kIOFireWireWriteMayHaveBeenTaken);
    }
    return kIOReturnSuccess;
}

}  // namespace kasim
