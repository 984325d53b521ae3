// virorividizezuzu: the updater on the machine's real FireWire bus, through the kernel's
// firewire-cdev interface. It takes no options and reads no file or environment setting.
// It installs the built-in images only when they are the Ka's firmware (KaFirmware.h).
#include "FireWireBackend.h"
#include "LinuxFireWireBackend.h"
#include "UpdaterMain.h"

#include <Carbon/Carbon.h>
#include <Carbon/SingleApplicationInstance.h>

int main(int argc, char** argv) {
    InitApplicationProcess();
    // Two copies would both offer to update the one unit.
    if (!ClaimSingleApplicationInstance("virorividizezuzu")) {
        return 0;
    }
    kaplatform::SetFireWireBackend(kaplatform::MakeLinuxFireWireBackend());
    const int status = RunUpdaterApplication(argc, argv);
    kaplatform::SetFireWireBackend(nullptr);
    return status;
}
