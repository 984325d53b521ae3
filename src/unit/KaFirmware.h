// The firmware the program offers and installs. The repository's built-in images are made up,
// for development and tests; made-up images on a real unit would leave it dead while the
// update reports success. So the hardware updater installs built-in images only when a
// packager built the Ka's firmware in, and otherwise the firmware a package installed on the
// system; the simulated unit takes whatever the build carries, or a folder it is given.
// Each executable makes that choice once, at start, where it is put together.
#ifndef KA_KAFIRMWARE_H
#define KA_KAFIRMWARE_H

#include <MacTypes.h>

#include <memory>
#include <optional>
#include <span>
#include <string>

extern "C" {
// 1 when the build was given the Ka's firmware, 0 when it carries the made-up images.
extern const UInt32 KaBuiltInImagesAreFirmware;
// The release the built-in images are, from their folder's version file.
extern const UInt32 KaBuiltInMCOREVersion;
extern const UInt32 KaBuiltInXilinxVersion;
}

// One release of the two images, as the program holds it from start to end.
struct KaFirmware {
    std::span<const UInt8> xilinxFile;
    std::span<const UInt8> mcoreFile;
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
    // False when the program holds nothing it may send to a unit; problem then says why, as
    // the window shows it.
    bool mayBeInstalled = false;
    std::string problem;
    // For a folder that was refused: the file and what is wrong with it, as the line at start
    // says it; empty otherwise.
    std::string problemDetail;
    // Where the release came from: "built in", "built in (the made-up test images)", or the
    // folder it was read from.
    std::string source;
    // Owns the bytes of a release read from a folder.
    std::shared_ptr<const void> storage;
};

// What an executable may install.
enum class KaFirmwareRule {
    // A real unit gets the Ka's firmware only: the built-in images when they are, otherwise
    // the folder's, and nothing when neither is usable.
    KaFirmwareOnly,
    // The simulated unit takes the folder's release when one is named, otherwise whatever
    // the build carries.
    WhateverItHolds,
};

// A folder of firmware: KaXilinx.bit, Ka_MCORE.s19 and version. With requiredOwner the folder
// and its files must belong to that user and be writable by no one else.
struct KaFirmwareFolder {
    std::string path;
    std::optional<UInt32> requiredOwner;
};

// Chooses, once at start and before any window or thread, what the program will offer and
// install; reads and checks the folder's files then, and never again. Returns the line the
// program says at start: which release it will install and where it came from, or why there
// is none, naming the file and its defect.
std::string KaChooseFirmware(KaFirmwareRule rule, const std::optional<KaFirmwareFolder>& folder);
// The same, handing the release chosen to whoever puts the program together.
std::string KaChooseFirmware(KaFirmwareRule rule, const std::optional<KaFirmwareFolder>& folder,
                             KaFirmware& chosen);

// The release chosen, for what the program's structure makes without it (a default-made
// controller or downloader, the answer to another copy). Before any choice: the built-in
// images, installed only when they are the Ka's firmware.
KaFirmware KaChosenFirmware();

#endif
