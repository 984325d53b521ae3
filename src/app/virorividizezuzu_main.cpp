// virorividizezuzu: the updater on the machine's real FireWire bus, through the kernel's
// firewire-cdev interface. It takes no options and reads no environment setting. It installs
// the Ka's firmware only: the built-in images when the build carries it, otherwise the
// release a firmware package put in the system's firmware folder (KaFirmware.h).
#include "FireWireBackend.h"
#include "KaFirmware.h"
#include "LinuxFireWireBackend.h"
#include "UpdaterMain.h"

#include <Carbon/Carbon.h>
#include <Carbon/SingleApplicationInstance.h>
#include <CoreServices/FirmwareFolder.h>

int main(int argc, char** argv) {
    InitApplicationProcess();
    // Two copies would both offer to update the one unit.
    if (!ClaimSingleApplicationInstance("virorividizezuzu")) {
        return 0;
    }
    kaplatform::SetFireWireBackend(kaplatform::MakeLinuxFireWireBackend());
    const int status = RunUpdaterApplication(
        argc, argv, KaFirmwareRule::KaFirmwareOnly,
        KaFirmwareFolder{kaplatform::kSystemFirmwareFolder, kaplatform::kSystemAdministrator});
    kaplatform::SetFireWireBackend(nullptr);
    return status;
}
