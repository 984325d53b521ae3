// What an executable that says nothing else answers: a real unit gets only the Ka's firmware,
// never the made-up images of a development build. This sits in an archive member of its
// own, so an executable that defines the function itself (the simulator) keeps its own.
#include "KaFirmware.h"

bool KaBuiltInImagesMayBeInstalled() {
    return KaBuiltInImagesAreFirmware != 0;
}
