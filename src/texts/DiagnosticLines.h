// The program's trace: the lines the controller, the sequencer and the device interface write
// on standard output and standard error as they go. A window run leaves them on its terminal;
// the terminal's modes show them with --verbose only. Some end in "\n\r", as they always have:
// whoever reads the trace byte by byte relies on it.
#ifndef KA_TEXTS_DIAGNOSTICLINES_H
#define KA_TEXTS_DIAGNOSTICLINES_H

// ---- the controller (standard output, but kTestCerrLine and kMasterPortProblemLine)
inline constexpr const char* kControllerMadeLine = "Ctor ViRorividiZezuzu\n";
inline constexpr const char* kTestCerrLine = "Test CERR\n";
inline constexpr const char* kControllerGoneLine = "Dtor ViRorividiZezuzu\n";
inline constexpr const char* kOpenKaLine = "Open Ka\n";
inline constexpr const char* kMasterPortProblemLine = "Problem with MasterPort\n";
inline constexpr const char* kCloseKaLine = "Close Ka\n";
inline constexpr const char* kStartDownloadThreadLine = "Start Download Thread\n";
inline constexpr const char* kDeleteDownloadThreadLine = "Delete Download Thread\n";

// ---- the unit's device interface
inline constexpr const char* kDownloadUnitMadeLine = "Ctor DownloadUnit\n";
inline constexpr const char* kDownloadUnitGoneLine = "Dtor DownloadUnit\n";
inline constexpr const char* kDeviceOpenLine = "FWDL::Open\n";
inline constexpr const char* kDeviceCloseLine = "FWDL::Close\n";
inline constexpr const char* kNoPlugInInterfaceLine = "Couldn't create plug in interface\n";
inline constexpr const char* kQueryInterfaceFailedLine =
    "FWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n";

// ---- the sequencer, standard output
inline constexpr const char* kDownloaderMadeLine = "Ctor Downloader\n";
inline constexpr const char* kDownloaderGoneLine = "Dtor Downloader\n";
inline constexpr const char* kOpeningXilinxLine = "Opening Xilinx data file\n";
inline constexpr const char* kOpeningMcoreLine = "Opening MCORE 06 file\n";
// Followed by the generation and "\n".
inline constexpr const char* kBusGenerationPrefix = "BusGen ";
inline constexpr const char* kErasingXilinxLine = "Erasing Xilinx Image\n";
inline constexpr const char* kErasingMcoreLine = "Erasing MCORE image\n";
inline constexpr const char* kSendingDataLine = "Sending Data...\n";
inline constexpr const char* kUpdateSuccessfulLine = "Update successful.\n\r";
// A write the unit may have taken twice: "... starting the Xilinx image again (2 of 3)\n".
inline constexpr const char* kImageRestartBefore =
    "The unit may have taken a write twice: starting the ";
inline constexpr const char* kImageRestartAfter = " image again (";
// An image started again whose unit does not read ready at once: said once, then waited for.
inline constexpr const char* kAwaitingReadyLine = "Waiting for the unit to be ready again\n";
inline constexpr const char* kXilinxImageName = "Xilinx";
inline constexpr const char* kMcoreImageName = "MCORE";

// ---- the sequencer, standard error
inline constexpr const char* kInvalidFileTypeLine = "Read Image : Invalid file type\n\r";
inline constexpr const char* kInvalidDeviceTypeLine = "Invalid device type\n";
inline constexpr const char* kCouldNotOpenDeviceLine = "Could not open device\n\r";
inline constexpr const char* kDeviceNotReadyLine =
    "Device not ready - Could not prepare device for update.\n\r";
inline constexpr const char* kEraseCommandRefusedLine =
    "Device not ready. Could not prepare device for update.\n\r";
inline constexpr const char* kErasingFlashLine = "Erasing Flash\n";
inline constexpr const char* kEraseTimedOutLine = "Device timed out. -Could not erase flash.\n\r";
inline constexpr const char* kEraseFailedLine = "Device failed - Could not erase flash.\n\r";
// The header's send failed: these two, then the status, with no end of line.
inline constexpr const char* kHeaderFailedFirst = "Download has failed.";
inline constexpr const char* kHeaderFailedSecond = "Tried to send FirmwareHeader, got error\n\r";
// A block's send failed: the line, then "Tried to send<count>bytes at<offset>, got
// error<status>\n\r", without spaces.
inline constexpr const char* kBlockFailedLine = "Download has failed\n\r";
inline constexpr const char* kBlockFailedTried = "Tried to send";
inline constexpr const char* kBlockFailedBytesAt = "bytes at";
inline constexpr const char* kBlockFailedGotError = ", got error";
inline constexpr const char* kBlockFailedEnd = "\n\r";
inline constexpr const char* kCrcInvalidLine = "Firmware validation failed- CRC was invalid.\n\r";
inline constexpr const char* kRestoreFailedLine = "Could not restore normal operation.\n\r";

#endif
