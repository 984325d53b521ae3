// The bitstream target fuzzes the image functions alone: a Downloader without the sequencer
// (and the unit and bus it would pull in), holding the built-in images as a program that
// chose nothing else does, without the firmware folder reader and its checks.
#include "Downloader.h"
#include "KaXilinx.h"
#include "Ka_MCORE.h"

KaFirmware KaChosenFirmware() {
    KaFirmware firmware;
    firmware.xilinxFile = {reinterpret_cast<const UInt8*>(KaXilinxData), KaXilinxDataSizeBytes};
    firmware.mcoreFile = {reinterpret_cast<const UInt8*>(KaMCORE06data), KaMCORE06dataSize};
    return firmware;
}

Downloader::Downloader() : _firmware(KaChosenFirmware()) {}
Downloader::~Downloader() {}
