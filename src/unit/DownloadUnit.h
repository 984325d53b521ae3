// The Ka seen through its firmware-update registers. Each operation is exactly one FireWire
// transaction (or none); the sequencer decides order, pauses and meaning.
#ifndef KA_DOWNLOADUNIT_H
#define KA_DOWNLOADUNIT_H

#include "FWLib_Device.h"
#include "KaWire.h"

#include <string>

class DownloadUnit : public FWLib::Device {
public:
    static constexpr UInt32 kFirmwareUpdateUnitSpecID = kawire::kUnitSpecifierId;
    static constexpr UInt32 kFirmwareUpdateUnitSWVersion = kawire::kUnitSoftwareVersion;

    explicit DownloadUnit(io_service_t service);
    ~DownloadUnit() override;

    // The sequencing operations keep the program's signatures: generation by reference, passed
    // on unchanged; the platform's device decides the generation each request goes in.
    IOReturn BeginUpdate(UInt32& generation);
    IOReturn SetUpdateCommand(UInt32& generation, UInt32& updatetype);
    // offset: where the block sits in the image, kept by the design's signature; the unit
    // appends in arrival order, so no address depends on it.
    IOReturn SendBlock(const void* bytes, unsigned int length, UInt32 offset, UInt32& generation);
    IOReturn SendCRCAndVerify(UInt32 crc, UInt32& generation);
    IOReturn RestoreNormalOperation(UInt32& generation);
    IOReturn CancelTransfer(UInt32& generation);

    IOReturn GetSoftwareVersion(UInt32& version);
    IOReturn GetProductRevision(UInt32& revision);
    IOReturn GetProductSerNum(std::string& serNum);

    unsigned int MaxDownloadBlockSize() const { return 128; }

    IOReturn ReadStatusRegister(UInt32& value, UInt32 generation);
    IOReturn ReadUpdateControl(UInt32& value, UInt32 generation);
    IOReturn WriteUpdateControl(UInt32 value, UInt32 generation);
    IOReturn WriteUpdateCommand(UInt32 value, UInt32 generation);
    IOReturn WriteCRCReg(UInt32 value, UInt32 generation);

private:
    FWAddress m_addr_command_regs;
    FWAddress m_addr_crc_reg;
    FWAddress m_addr_update_data;
    FWAddress m_addr_update_control;
    FWAddress m_addr_update_command;
    FWAddress m_addr_sw_version;
    FWAddress m_addr_product_version;
    FWAddress m_addr_status_reg;
    FWAddress m_addr_sernum;
};

#endif
