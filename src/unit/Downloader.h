// Installs one image of the chosen firmware on the unit: update mode, readiness, erase, the
// header and the image in 128-byte blocks with a running CRC-16, verification, close.
#ifndef KA_DOWNLOADER_H
#define KA_DOWNLOADER_H

#include "KaFirmware.h"
#include "KaWire.h"
#include "UpdateRecordCalls.h"

#include <MacTypes.h>

class DownloadProgress;
class DownloadUnit;

enum DOWNLOADTYPE : UInt32 {
    fileMCORE = 0,
    fileXILINX = 1,
};

// Bytes of the sequencer's transfer buffer; ReadImage never delivers more than one less.
inline constexpr UInt32 DL_BUF_SIZE = 2052;

// Sent ahead of every image, as 20 bytes, every field big-endian.
using FirmwareHeader = kawire::FirmwareHeader;
using kawire::kFirmwareHeaderBytes;

// The record with the values sent for an image of sizeB bytes after the header.
FirmwareHeader MakeFirmwareHeader(UInt32 sizeB);
// Its 20 bytes in wire order.
void SerializeFirmwareHeader(const FirmwareHeader& header, UInt8 (&bytes)[kFirmwareHeaderBytes]);

// Finds the configuration data in the bitFileBytes bytes of a .bit file: offset where its
// sync word starts (within the first 144 positions, first match), numBytes the length field
// in front of it. What Downloader::ParseBit does for the built-in image; a file without the
// sync word there is a consistency failure.
bool ParseBitFile(const UInt8* bitFile, UInt32 bitFileBytes, SInt32& offset, SInt32& numBytes);

class Downloader {
  public:
    // The release chosen at start, gDownloadProgress and the update record.
    Downloader();
    // firmware is held for the whole of this downloader's updates; progress and record
    // outlive it.
    Downloader(KaFirmware firmware, DownloadProgress& progress, const UpdateRecordCalls& record);
    ~Downloader();

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void DoDownload(DownloadUnit* unit, DOWNLOADTYPE type);

    bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, void* buf, UInt32& actualCount);
    bool ParseBit(SInt32& offset, SInt32& numBytes);
    bool FindNumBytes(const UInt8* header, SInt32 size, SInt32& numBytes);
    // buffer holds numQuads 32-bit words as bytes in wire order: each word is formed from
    // four bytes, the first most significant, whatever the host's byte order.
    UInt16 updateCRC16(UInt16 currentCRC, const UInt8* buffer, UInt32 numQuads);

    // Status of the last DoDownload; 0 when it succeeded.
    SInt32 Error() const { return mError; }

  private:
    friend class DownloaderTestAccess;

    // One run of the image from its beginning to the close; its status. restarting: an
    // earlier start of the same image broke off.
    SInt32 DownloadImageOnce(DOWNLOADTYPE type, bool restarting);

    const KaFirmware _firmware;
    DownloadProgress* _progress = nullptr;
    UpdateRecordCalls _record;
    DownloadUnit* _Unit = nullptr;
    UInt32 _Progress = 0;
    SInt32 mError = 0;
    bool mIndeterminate = false;
    bool mCanCancel = false;
    bool mCancelled = false;
};

#endif
