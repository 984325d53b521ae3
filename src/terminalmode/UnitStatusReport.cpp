#include "UnitStatusReport.h"

#include "Process.h"
#include "TerminalTexts.h"
#include "UpdateSafeguard.h"
#include "UpdaterCommandLine.h"
#include "unitaccess/UnitAccessReport.h"

#include "record/RecordCodec.h"

#include <cstdio>
#include <memory>
#include <sstream>

using Orv::VEV::CViRorividiZezuzu;

namespace {

const UInt32 kFinalCutSignature = 'KeyG';

// Bytes a unit sent may hold anything: what is not printable ASCII is shown as '?', so that
// nothing of it reaches the terminal as a control sequence.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& character : shown) {
        if (character < 0x20 || character > 0x7E) {
            character = '?';
        }
    }
    return shown;
}

KaIdentity IdentityOf(CViRorividiZezuzu& controller) {
    const Orv::VEV::KaInfo info = controller.GetKaInfo();
    KaIdentity identity;
    identity.guid = info.GUID;
    // The controller's rule: firmware this old keeps no serial number in the register.
    identity.hasSerialNumber = info.MCOREver >= 3;
    identity.serialNumber = info.serialNum;
    identity.MCOREver = info.MCOREver;
    identity.XilinxVer = info.XilinxVer;
    return identity;
}

std::string SerialNumberText(const KaIdentity& unit) {
    return unit.hasSerialNumber ? Printable(unit.serialNumber) : kStatusNoSerialNumber;
}

using Json = karecord::WrittenLine;

Json VersionJson(UInt32 mcore, UInt32 xilinx) {
    Json version = Json::object();
    version["mcore"] = mcore;
    version["xilinx"] = xilinx;
    return version;
}

Json IdentityJson(const KaIdentity& unit) {
    Json object = Json::object();
    object["guid"] = GuidText(unit.guid);
    object["serialNumber"] =
        unit.hasSerialNumber ? karecord::EncodeText(unit.serialNumber) : Json(nullptr);
    object["installedFirmware"] = FirmwareVersionText(unit.MCOREver, unit.XilinxVer);
    object["installedVersion"] = VersionJson(unit.MCOREver, unit.XilinxVer);
    return object;
}

// What a status says before the bus is read: the firmware the program holds, the unit asked for.
UnitStatus FirmwareStatus(const KaFirmware& firmware, std::optional<UInt64> guid) {
    UnitStatus status;
    status.chosenGuid = guid;
    // A refused folder leaves no release; the built-in images are one whatever their number,
    // 0-0 included.
    status.holdsRelease = !firmware.xilinxFile.empty() && !firmware.mcoreFile.empty();
    status.firmwareMCOREver = firmware.MCOREver;
    status.firmwareXilinxVer = firmware.XilinxVer;
    status.firmwareSource = firmware.source;
    if (!firmware.mayBeInstalled) {
        status.firmwareProblem = firmware.problem;
    }
    return status;
}

}  // namespace

std::string GuidText(UInt64 guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

std::string FirmwareVersionText(UInt32 mcore, UInt32 xilinx) {
    return std::to_string(mcore) + "-" + std::to_string(xilinx);
}

UnitStatus ReadUnitStatus(CViRorividiZezuzu& controller, const KaFirmware& firmware,
                          std::optional<UInt64> guid, bool others) {
    UnitStatus status = FirmwareStatus(firmware, guid);
    if (others) {
        const std::vector<UInt64> guids = controller.FindUnitGUIDs();
        for (std::size_t index = 0; index < guids.size(); ++index) {
            // The unit to update is read last, below, so that the controller keeps its
            // identity.
            if (guid ? guids[index] == *guid : index == 0) {
                continue;
            }
            controller.ChooseUnit(guids[index]);
            if (controller.IsFound()) {
                status.others.push_back(IdentityOf(controller));
            }
        }
    }
    controller.ChooseUnit(guid);
    status.found = controller.IsFound();
    if (!status.found) {
        const IOReturn access = kaunitaccess::UnitAccessStatus();
        status.reason = access == kIOReturnNotPermitted              ? kReasonNoPermission
                        : access == kIOReturnExclusiveAccess         ? kReasonInUse
                        : !kaunitaccess::FireWireControllerPresent() ? kReasonNoController
                                                                     : kReasonNoKa;
        status.update = kUpdateNone;
        return status;
    }
    status.unit = IdentityOf(controller);
    status.downgrade = controller.IsDowngrade();
    if (!firmware.mayBeInstalled) {
        status.reason = kReasonNoFirmware;
    } else if (RefreshProcessList(), TProcess(kMyProcess).FindProcess(kFinalCutSignature)) {
        status.reason = kReasonFinalCutRunning;
    }
    if (!status.reason.empty()) {
        status.update = kUpdateNone;
    } else if (status.downgrade) {
        status.update = kUpdateDowngrade;
    } else if (status.unit.MCOREver == firmware.MCOREver &&
               status.unit.XilinxVer == firmware.XilinxVer) {
        status.update = kUpdateReinstall;
    } else {
        status.update = kUpdateUpgrade;
    }
    return status;
}

std::string NotFoundClause(const UnitStatus& status) {
    if (status.reason == kReasonNoPermission) {
        return kNoPermissionClause;
    }
    if (status.reason == kReasonInUse) {
        return kInUseClause;
    }
    if (status.reason == kReasonNoController) {
        return kNoControllerClause;
    }
    if (status.chosenGuid) {
        return NoKaWithGuidClause(GuidText(*status.chosenGuid));
    }
    return kNoKaClause;
}

std::string UnitStatusText(const UnitStatus& status) {
    std::string out;
    if (status.found) {
        out += std::string(kStatusFound) + kStatusGuid + GuidText(status.unit.guid) + "\n" +
               kStatusSerialNumber + SerialNumberText(status.unit) + "\n" +
               kStatusInstalledFirmware +
               FirmwareVersionText(status.unit.MCOREver, status.unit.XilinxVer) + "\n";
    } else {
        out += StatusNotFoundLine(NotFoundClause(status));
    }
    out += std::string(kStatusFirmwareToInstall) +
           (status.holdsRelease
                ? FirmwareVersionText(status.firmwareMCOREver, status.firmwareXilinxVer)
                : std::string(kStatusNoFirmwareVersion)) +
           "\n" + kStatusFirmwareSource + Printable(status.firmwareSource) + "\n";
    if (!status.firmwareProblem.empty()) {
        out += kStatusFirmwareProblem + Printable(status.firmwareProblem) + "\n";
    }
    if (status.reason.empty()) {
        out += std::string(kStatusUpdate) + status.update + "\n";
    } else {
        out += StatusNoUpdateLine(status.reason);
    }
    for (const KaIdentity& other : status.others) {
        out += OtherKaLine(GuidText(other.guid), SerialNumberText(other),
                           FirmwareVersionText(other.MCOREver, other.XilinxVer));
    }
    return out;
}

std::string UnitStatusJson(const UnitStatus& status) {
    const auto textOrNull = [](bool present, const std::string& text) {
        return present ? karecord::EncodeText(text) : Json(nullptr);
    };
    Json object = Json::object();
    object["format"] = kStatusJsonFormat;
    object["found"] = status.found;
    const Json unit = status.found ? IdentityJson(status.unit) : Json::object();
    for (const char* field : {"guid", "serialNumber", "installedFirmware", "installedVersion"}) {
        object[field] = status.found ? unit.at(field) : Json(nullptr);
    }
    object["firmware"] =
        textOrNull(status.holdsRelease,
                   FirmwareVersionText(status.firmwareMCOREver, status.firmwareXilinxVer));
    object["firmwareVersion"] = status.holdsRelease
                                    ? VersionJson(status.firmwareMCOREver, status.firmwareXilinxVer)
                                    : Json(nullptr);
    object["firmwareSource"] = karecord::EncodeText(status.firmwareSource);
    object["firmwareProblem"] = textOrNull(!status.firmwareProblem.empty(), status.firmwareProblem);
    object["update"] = status.update;
    object["reason"] = textOrNull(!status.reason.empty(), status.reason);
    // Every Ka on the bus, the one above first.
    Json kas = Json::array();
    if (status.found) {
        kas.push_back(unit);
    }
    for (const KaIdentity& other : status.others) {
        kas.push_back(IdentityJson(other));
    }
    object["kas"] = std::move(kas);
    return object.dump() + "\n";
}

int UnitStatusExitStatus(const UnitStatus& status) {
    return status.found ? kExitSuccess : kExitNoKa;
}

namespace {

const std::string kStatusQuestionJson = "status json";
const std::string kStatusQuestionText = "status text";

}  // namespace

std::string StatusQuestion(bool json, std::optional<UInt64> guid) {
    std::string question = json ? kStatusQuestionJson : kStatusQuestionText;
    if (guid) {
        question += " " + GuidText(*guid);
    }
    return question;
}

std::string AnswerStatusQuestion(const std::string& question) {
    std::istringstream words(question);
    std::string verb;
    std::string format;
    std::string guidText;
    words >> verb >> format >> guidText;
    std::optional<UInt64> guid;
    if (!guidText.empty()) {
        guid = ParseGuid(guidText);
    }
    if (verb != "status" || (format != "json" && format != "text") ||
        (!guidText.empty() && !guid)) {
        return {};
    }
    const KaFirmware firmware = KaChosenFirmware();
    UnitStatus status;
    if (CUpdateSafeguard::AnyUpdateRunning()) {
        status = FirmwareStatus(firmware, guid);
        status.reason = kReasonInUse;
        status.update = kUpdateNone;
    } else {
        const auto controller = std::make_unique<Orv::VEV::CViRorividiZezuzu>();
        status = ReadUnitStatus(*controller, firmware, guid, true);
    }
    return std::to_string(UnitStatusExitStatus(status)) + "\n" +
           (format == "json" ? UnitStatusJson(status) : UnitStatusText(status));
}

bool ReadStatusAnswer(const std::string& answer, int& exitStatus, std::string& output) {
    const auto lineEnd = answer.find('\n');
    if (lineEnd == std::string::npos || lineEnd == 0 || lineEnd > 3) {
        return false;
    }
    int value = 0;
    for (std::size_t index = 0; index < lineEnd; ++index) {
        if (answer[index] < '0' || answer[index] > '9') {
            return false;
        }
        value = value * 10 + (answer[index] - '0');
    }
    exitStatus = value;
    output = answer.substr(lineEnd + 1);
    return !output.empty();
}
