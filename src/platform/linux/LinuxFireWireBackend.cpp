#include "LinuxFireWireBackend.h"

#include "DeviceFileAccess.h"
#include "LinuxFireWireDevice.h"
#include "LinuxSystem.h"
#include "OutstandingRequests.h"
#include "SysfsFireWire.h"

#include <IOKit/IOReturn.h>

#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace kaplatform {
namespace {

class LinuxFireWireBackend final : public FireWireBackend {
  public:
    LinuxFireWireBackend(std::shared_ptr<LinuxSystem> system,
                         const LinuxFireWireRetryPolicy& policy)
        : system_(std::move(system)), policy_(policy) {}

    std::optional<std::string> FindUnit(std::uint32_t specifierId,
                                        std::uint32_t softwareVersion) override {
        // Every discovery pass starts here: the time to close what earlier ones left.
        outstanding_->Collect();
        auto unit = sysfs::FindFirstUnit(system_->SysfsRoot(), specifierId, softwareVersion);
        if (!unit) {
            access_->Cleared();  // no unit, so none refused
        } else {
            ReportBoundDrivers(*unit);
        }
        return unit;
    }

    std::vector<std::string> FindUnits(std::uint32_t specifierId,
                                       std::uint32_t softwareVersion) override {
        outstanding_->Collect();
        auto units = sysfs::FindUnits(system_->SysfsRoot(), specifierId, softwareVersion);
        if (units.empty()) {
            access_->Cleared();
        } else {
            ReportBoundDrivers(units.front());
        }
        return units;
    }

    bool HasController() override { return sysfs::HasLocalNode(system_->SysfsRoot()); }

    std::string Name() const override { return "firewire-cdev"; }

    std::optional<std::uint64_t> UnitGuid(const std::string& unitName) override {
        const std::filesystem::path root = system_->SysfsRoot();
        const auto node = sysfs::NodeOfUnit(root, unitName);
        if (!node) {
            return std::nullopt;
        }
        return sysfs::NodeGuid(root, *node);
    }

    IOReturn CreateDevice(const std::string& unitName,
                          std::unique_ptr<FireWireDevice>& device) override {
        device.reset();
        if (!sysfs::IsUnitName(unitName)) {
            return kIOReturnBadArgument;
        }
        const auto guid = UnitGuid(unitName);
        if (!guid) {
            return kIOReturnNoDevice;
        }
        return CreateDeviceWithGuid(unitName, *guid, device);
    }

    IOReturn CreateDeviceWithGuid(const std::string& unitName, std::uint64_t guid,
                                  std::unique_ptr<FireWireDevice>& device) override {
        device.reset();
        // The name becomes part of a device path: take nothing but what FindUnit returns.
        if (!sysfs::IsUnitName(unitName)) {
            return kIOReturnBadArgument;
        }
        const auto node = sysfs::NodeOfUnit(system_->SysfsRoot(), unitName);
        if (!node) {
            return kIOReturnNoDevice;
        }
        outstanding_->Collect();
        device = std::make_unique<LinuxFireWireDevice>(system_, "/dev/" + *node, guid, policy_,
                                                       access_, outstanding_);
        return kIOReturnSuccess;
    }

    IOReturn UnitAccessStatus() override { return access_->Status(); }

  private:
    // A kernel driver bound to one of the node's units talks to the unit on its own, and
    // nothing keeps it from doing so during an update: said once on standard error, and
    // kept for the record.
    void ReportBoundDrivers(const std::string& unitName) {
        const std::filesystem::path root = system_->SysfsRoot();
        const auto node = sysfs::NodeOfUnit(root, unitName);
        std::string drivers;
        for (const std::string& driver :
             node ? sysfs::BoundUnitDrivers(root, *node) : std::vector<std::string>{}) {
            drivers += (drivers.empty() ? "" : ", ") + driver;
        }
        const std::scoped_lock lock(driversMutex_);
        if (drivers == reportedDrivers_) {
            return;
        }
        reportedDrivers_ = drivers;
        if (BusObserver* observer = Observer()) {
            observer->UnitDriversFound(drivers);
        }
        if (!drivers.empty()) {
            std::cerr << "A kernel driver is bound to the Ka (" << drivers
                      << "); it may talk to the unit during an update.\n";
        }
    }

    std::shared_ptr<LinuxSystem> system_;
    const LinuxFireWireRetryPolicy policy_;
    std::shared_ptr<DeviceFileAccess> access_ = std::make_shared<DeviceFileAccess>();
    std::shared_ptr<OutstandingRequests> outstanding_ =
        std::make_shared<OutstandingRequests>(system_, policy_.answerDeadline);
    std::mutex driversMutex_;
    std::string reportedDrivers_;
};

}  // namespace

std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(const LinuxFireWireRetryPolicy& policy) {
    return MakeLinuxFireWireBackend(MakeRealLinuxSystem(), policy);
}

std::shared_ptr<FireWireBackend> MakeLinuxFireWireBackend(std::shared_ptr<LinuxSystem> system,
                                                          const LinuxFireWireRetryPolicy& policy) {
    return std::make_shared<LinuxFireWireBackend>(std::move(system), policy);
}

}  // namespace kaplatform
