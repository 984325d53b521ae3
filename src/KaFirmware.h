// Whether the built-in images may be installed on a unit. The repository's images are made
// up, for development and tests; a packager's build carries the Ka's firmware instead. Made-up
// images on a real unit would leave it dead while the update reports success, so the hardware
// updater installs only firmware; the simulated unit takes whatever the build carries.
#ifndef KA_KAFIRMWARE_H
#define KA_KAFIRMWARE_H

#include <MacTypes.h>

extern "C" {
// 1 when the build was given the Ka's firmware, 0 when it carries the made-up images.
extern const UInt32 KaBuiltInImagesAreFirmware;
}

// Whether this program may send the built-in images to a unit. The images library answers
// with KaBuiltInImagesAreFirmware, and the hardware updater keeps that answer; the simulator
// defines its own, yes, which the linker takes instead.
bool KaBuiltInImagesMayBeInstalled();

#endif
