#include "DownloadUnit.h"

#include "DiagnosticLines.h"

#include <iostream>

namespace {

using kawire::kRegisterAddressHi;
using kawire::kSerialNumberBytes;
// Reads of the update control register before CancelTransfer gives up waiting for bit 0.
constexpr unsigned kCancelPollLimit = 1000;

}  // namespace

DownloadUnit::DownloadUnit(io_service_t service) : FWLib::Device(service) {
    std::cout << kDownloadUnitMadeLine;
    m_addr_command_regs = FWAddress(kRegisterAddressHi, kawire::kRegisterBlockLo);
    const UInt32 base = m_addr_command_regs.addressLo;
    m_addr_update_control = FWAddress(kRegisterAddressHi, base + kawire::kUpdateControlOffset);
    m_addr_sw_version = FWAddress(kRegisterAddressHi, base + kawire::kSoftwareVersionOffset);
    m_addr_product_version = FWAddress(kRegisterAddressHi, base + kawire::kProductRevisionOffset);
    m_addr_update_command = FWAddress(kRegisterAddressHi, base + kawire::kUpdateCommandOffset);
    m_addr_crc_reg = FWAddress(kRegisterAddressHi, base + kawire::kCrcOffset);
    m_addr_status_reg = FWAddress(kRegisterAddressHi, base + kawire::kStatusOffset);
    m_addr_update_data = FWAddress(kRegisterAddressHi, base + kawire::kDataWindowOffset);
    m_addr_sernum = FWAddress(kRegisterAddressHi,
                              m_addr_update_data.addressLo + kawire::kSerialNumberFromDataWindow);
}

DownloadUnit::~DownloadUnit() {
    std::cout << kDownloadUnitGoneLine;
}

IOReturn DownloadUnit::BeginUpdate(UInt32& generation) {
    return WriteUpdateControl(kawire::kControlBeginUpdate, generation);
}

IOReturn DownloadUnit::SetUpdateCommand(UInt32& generation, UInt32& updatetype) {
    return WriteUpdateCommand(updatetype, generation);
}

IOReturn DownloadUnit::SendBlock(const void* bytes, unsigned int length, UInt32 /*offset*/,
                                 UInt32& generation) {
    // Every block goes to the one data window; the unit appends in arrival order.
    UInt32 size = length;
    return Write(m_addr_update_data, bytes, size, false, false, generation);
}

IOReturn DownloadUnit::SendCRCAndVerify(UInt32 crc, UInt32& generation) {
    return WriteCRCReg(crc, generation);
}

IOReturn DownloadUnit::RestoreNormalOperation(UInt32& /*generation*/) {
    return kIOReturnSuccess;
}

IOReturn DownloadUnit::CancelTransfer(UInt32& generation) {
    const IOReturn written = WriteUpdateControl(kawire::kControlCancel, generation);
    if (written != kIOReturnSuccess) {
        return written;  // a cancel that was never delivered has not succeeded
    }
    for (unsigned poll = 0; poll < kCancelPollLimit; ++poll) {
        UInt32 value = 0;
        const IOReturn status = ReadUpdateControl(value, generation);
        if (status != kIOReturnSuccess || (value & kawire::kControlUpdateActive) == 0) {
            return status;
        }
    }
    return kIOReturnTimeout;
}

IOReturn DownloadUnit::GetSoftwareVersion(UInt32& version) {
    return ReadQuadlet(m_addr_sw_version, version, false, false, 0);
}

IOReturn DownloadUnit::GetProductRevision(UInt32& revision) {
    return ReadQuadlet(m_addr_product_version, revision, false, false, 0);
}

IOReturn DownloadUnit::GetProductSerNum(std::string& serNum) {
    char buffer[kSerialNumberBytes + 1] = {};
    UInt32 count = kSerialNumberBytes;
    const IOReturn status = Read(m_addr_sernum, buffer, count, false, false, 0);
    if (status != kIOReturnSuccess) {
        serNum.clear();
        return status;
    }
    buffer[count < kSerialNumberBytes ? count : kSerialNumberBytes] = '\0';
    serNum = buffer;
    return status;
}

IOReturn DownloadUnit::ReadStatusRegister(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_status_reg, value, false, false, generation);
}

IOReturn DownloadUnit::ReadUpdateControl(UInt32& value, UInt32 generation) {
    return ReadQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateControl(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_control, value, false, false, generation);
}

IOReturn DownloadUnit::WriteUpdateCommand(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_update_command, value, false, false, generation);
}

IOReturn DownloadUnit::WriteCRCReg(UInt32 value, UInt32 generation) {
    return WriteQuadlet(m_addr_crc_reg, value, false, false, generation);
}
