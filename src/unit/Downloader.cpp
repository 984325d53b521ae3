#include "Downloader.h"

#include "DiagnosticLines.h"
#include "DownloadPause.h"
#include "DownloadProgress.h"
#include "DownloadUnit.h"
#include "FireWireStatus.h"

#include "record/UpdateRecord.h"

#include <IOKit/IOReturn.h>

#include <cstring>
#include <iostream>
#include <utility>

namespace {

// The unit's own verdict (not ready, erase failed or timed out) as a 32-bit status word.
constexpr SInt32 kDeviceFailedStatus = -192;
constexpr UInt32 kPauseAfterOperationMicroseconds = 1000;
constexpr UInt32 kSleepBetweenErasePollsMicroseconds = 1000000;
constexpr SInt32 kErasePolls = 60;
// Starts of one image at most while its writes come back as perhaps taken.
constexpr int kImageStarts = 3;

void PauseAfterOperation() {
    DownloadPause(kPauseAfterOperationMicroseconds);
}

}  // namespace

Downloader::Downloader() : Downloader(KaChosenFirmware(), gDownloadProgress, TheUpdateRecord()) {}

Downloader::Downloader(KaFirmware firmware, DownloadProgress& progress,
                       const UpdateRecordCalls& record)
    : _firmware(std::move(firmware)), _progress(&progress), _record(record) {
    std::cout << kDownloaderMadeLine;
}

Downloader::~Downloader() {
    std::cout << kDownloaderGoneLine;
}

void Downloader::DoDownload(DownloadUnit* unit, DOWNLOADTYPE type) {
    _Unit = unit;
    _progress->Reset();
    if (_Unit == nullptr) {
        // Nothing to talk to: the image cannot have been installed.
        mError = kIOReturnNoDevice;
        return;
    }
    for (int start = 1;; ++start) {
        mError = DownloadImageOnce(type, start > 1);
        // Only a write the unit may hold twice starts the image again: the erase discards
        // whatever the unit took, and the image goes once more from its beginning. Every
        // other failure is the unit's or the bus's last word.
        if (mError != kIOFireWireWriteMayHaveBeenTaken || start == kImageStarts) {
            return;
        }
        const char* const image = type == fileXILINX ? kXilinxImageName : kMcoreImageName;
        std::cout << kImageRestartBefore << image << kImageRestartAfter << start + 1 << " of "
                  << kImageStarts << ")\n";
        if (_record.imageRestart != nullptr) {
            _record.imageRestart(type == fileXILINX ? "xilinx" : "mcore", start + 1);
        }
        _progress->SetErase();
    }
}

SInt32 Downloader::DownloadImageOnce(DOWNLOADTYPE type, bool restarting) {
    SInt32 currentOffset = 0;
    SInt32 fileCount = 0;
    UInt32 crc = 0;
    SInt32 error = 0;
    alignas(4) UInt8 buffer[DL_BUF_SIZE];
    SInt32 offset = 0;
    SInt32 numBytes = 0;
    UInt32 generation = 0;
    UInt32 value = 0;
    UInt32 command = 0;

    const UInt32 downloadBlockSize = _Unit->MaxDownloadBlockSize();

    switch (type) {
        case fileXILINX:
            std::cout << kOpeningXilinxLine;
            ParseBit(offset, numBytes);
            fileCount = static_cast<SInt32>(_firmware.xilinxFile.size());
            command = kawire::kUpdateCommandXilinx;
            break;
        case fileMCORE:
            std::cout << kOpeningMcoreLine;
            offset = 0;
            fileCount = static_cast<SInt32>(_firmware.mcoreFile.size());
            command = kawire::kUpdateCommandMcore;
            break;
        default:
            // No image and no erase command belong to this type: touch nothing on the unit.
            std::cerr << kInvalidFileTypeLine;
            return kIOReturnBadArgument;
    }

    error = _Unit->GetBusGeneration(generation);
    if (error == 0) {
        std::cout << kBusGenerationPrefix << generation << "\n";

        error = _Unit->Open();
        if (error != 0) {
            std::cerr << kCouldNotOpenDeviceLine;
        }

        error = _Unit->BeginUpdate(generation);
        PauseAfterOperation();
        if (error != 0) {
            std::cerr << kDeviceNotReadyLine;
        }

        // This read alone decides readiness. A unit whose last start broke off may still
        // be putting it away (or coming back on the bus): it is given as long as an erase to
        // read ready, asked at the erase's pace.
        error = _Unit->ReadStatusRegister(value, generation);
        PauseAfterOperation();
        for (SInt32 poll = 1;
             restarting && error == 0 && value == kawire::kStatusBusy && poll < kErasePolls;
             ++poll) {
            if (poll == 1) {
                std::cout << kAwaitingReadyLine;
            }
            DownloadPause(kSleepBetweenErasePollsMicroseconds);
            error = _Unit->ReadStatusRegister(value, generation);
            PauseAfterOperation();
        }
        if (error != 0 || value != kawire::kStatusReady) {
            if (error == 0) {
                error = kDeviceFailedStatus;
            }
            std::cerr << kDeviceNotReadyLine;
        }
    }
    // Without a generation the unit cannot be addressed reliably (it has most likely left
    // the bus): the image fails with that status and nothing is sent.

    _progress->SetErase();

    if (error == 0) {
        std::cout << (type == fileXILINX ? kErasingXilinxLine : kErasingMcoreLine);
        error = _Unit->SetUpdateCommand(generation, command);
        PauseAfterOperation();
        if (error != 0) {
            std::cerr << kEraseCommandRefusedLine;
        }
    }

    if (error == 0) {
        for (SInt32 towait = kErasePolls; towait > 0; --towait) {
            error = _Unit->ReadStatusRegister(value, generation);
            if (error != 0) {
                break;
            }
            if (value == kawire::kStatusBusy) {
                DownloadPause(kSleepBetweenErasePollsMicroseconds);
                std::cerr << kErasingFlashLine;
                if (towait == 1) {
                    std::cerr << kEraseTimedOutLine;
                    error = kDeviceFailedStatus;
                }
                continue;
            }
            if (value != kawire::kStatusReady) {
                std::cerr << kEraseFailedLine;
                error = kDeviceFailedStatus;
            }
            break;
        }
    }

    _progress->SetPgm();

    if (error == 0) {
        currentOffset = offset;
        std::cout << kSendingDataLine;
        mCancelled = false;

        const FirmwareHeader firmwareheader =
            MakeFirmwareHeader(static_cast<UInt32>(fileCount - offset));
        UInt8 headerBytes[kFirmwareHeaderBytes];
        SerializeFirmwareHeader(firmwareheader, headerBytes);
        error = _Unit->SendBlock(headerBytes, kFirmwareHeaderBytes, 0, generation);
        PauseAfterOperation();
        if (error != 0) {
            std::cerr << kHeaderFailedFirst;
            std::cerr << kHeaderFailedSecond << error;
        }

        while (error == 0 && currentOffset < fileCount && !mCancelled) {
            const UInt32 requestCount = downloadBlockSize;
            UInt32 actualCount = 0;
            ReadImage(type, static_cast<UInt32>(currentOffset), requestCount, buffer, actualCount);
            if (actualCount < requestCount) {
                // Complete the final partial word with zeros: they are sent and enter the CRC.
                const UInt32 wordEnd = (actualCount & ~3u) + 4;
                std::memset(buffer + actualCount, 0, wordEnd - actualCount);
            }
            const UInt32 length = (actualCount + 3) & ~3u;
            error =
                _Unit->SendBlock(buffer, length, static_cast<UInt32>(currentOffset), generation);
            PauseAfterOperation();
            if (error != 0) {
                std::cerr << kBlockFailedLine;
                std::cerr << kBlockFailedTried << actualCount << kBlockFailedBytesAt
                          << currentOffset << kBlockFailedGotError << error << kBlockFailedEnd;
            } else {
                crc = updateCRC16(static_cast<UInt16>(crc & 0xFFFF), buffer, (actualCount + 3) / 4);
                currentOffset += static_cast<SInt32>(actualCount);
            }
            _progress->Update(static_cast<float>(currentOffset) / static_cast<float>(fileCount));
        }
        crc &= 0xFFFF;

        if (error == 0 && currentOffset < fileCount) {
            // Stopped early on request: the unit must never be asked to validate (and then
            // boot) an image it did not fully receive.
            error = kIOReturnAborted;
        }
    }

    if (error == 0) {
        error = _Unit->SendCRCAndVerify(crc, generation);
        PauseAfterOperation();
        if (error != 0) {
            std::cerr << kCrcInvalidLine;
        }
    }

    if (error == 0) {
        error = _Unit->RestoreNormalOperation(generation);
        if (error != 0) {
            std::cerr << kRestoreFailedLine;
        }
    }

    if (error == 0) {
        std::cout << kUpdateSuccessfulLine;
    }

    _Unit->Close();
    return error;
}
