// What --status says: the Ka this program would update (the first one on the bus, or the one
// --guid names), the firmware it would install and what an update would do, and every other
// Ka on the bus after it; as text for a person and as one JSON object for a program. A copy
// that runs already says the same for a later --status (UpdaterMain's single-instance
// answer), so both read it here.
#ifndef KA_UNITSTATUSREPORT_H
#define KA_UNITSTATUSREPORT_H

#include "KaFirmware.h"
#include "virorividizezuzu.h"

#include <MacTypes.h>

#include <optional>
#include <string>
#include <vector>

// The layout of --status --json; a program that keeps the object can tell it by this.
inline constexpr int kStatusJsonFormat = 1;

// One Ka as a discovery pass read it.
struct KaIdentity {
    UInt64 guid = 0;
    // False when the unit's firmware is too old to have a serial number.
    bool hasSerialNumber = false;
    std::string serialNumber;  // the unit's own bytes
    UInt32 MCOREver = 0;
    UInt32 XilinxVer = 0;
};

struct UnitStatus {
    // The Ka to update: found, and who it is.
    bool found = false;
    KaIdentity unit;
    // The release the program holds; none for a folder that was refused.
    bool holdsRelease = false;
    UInt32 firmwareMCOREver = 0;
    UInt32 firmwareXilinxVer = 0;
    std::string firmwareSource;
    std::string firmwareProblem;  // empty when the release may be installed
    bool downgrade = false;
    // What an update would do: one of the kUpdate values of TerminalTexts.h.
    std::string update;
    // Why none is possible, one of its kReason values; empty when one is.
    std::string reason;
    // The GUID --guid asked for, if any.
    std::optional<UInt64> chosenGuid;
    // The other Kas on the bus, in the order the bus lists them.
    std::vector<KaIdentity> others;
};

// One discovery pass through the controller, for the unit guid names or the first one. With
// others, every other Ka on the bus is read as well (the controller then holds the identity
// of the last one read: call it for an update without others).
UnitStatus ReadUnitStatus(Orv::VEV::CViRorividiZezuzu& controller, const KaFirmware& firmware,
                          std::optional<UInt64> guid, bool others);

// "0x0200000000004711".
std::string GuidText(UInt64 guid);
// "3-5".
std::string FirmwareVersionText(UInt32 mcore, UInt32 xilinx);

// Why no Ka was found, as a clause of a sentence.
std::string NotFoundClause(const UnitStatus& status);

std::string UnitStatusText(const UnitStatus& status);
// One line.
std::string UnitStatusJson(const UnitStatus& status);
// The exit status of --status (UpdaterCommandLine.h).
int UnitStatusExitStatus(const UnitStatus& status);

// A running copy answers a later --status over its single-instance socket. The question the
// later copy asks for its options, one line without line end.
std::string StatusQuestion(bool json, std::optional<UInt64> guid);
// The running copy's answer: the exit status on a line, then what --status prints. An update
// of this process owns the unit meanwhile; nothing else may reach it, so the answer is the
// one a pass of another program would get then: the unit is in use.
std::string AnswerStatusQuestion(const std::string& question);
// Takes an answer apart; false when it is none.
bool ReadStatusAnswer(const std::string& answer, int& exitStatus, std::string& output);

#endif
