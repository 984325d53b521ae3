// The words of the program's alerts, and the sentences on an update's outcome that the
// failed alert, the terminal's last line, standard error and the update record share.
#ifndef KA_TEXTS_ALERTTEXTS_H
#define KA_TEXTS_ALERTTEXTS_H

// ---- a completed update (the terminal ends with the same words)
inline constexpr const char* kDownloadDoneMessage = "Programming Complete";
inline constexpr const char* kDownloadDoneInformative =
    "You will need to cycle the Power on your Ka for changes to take affect";

// ---- a failed update: the title; the text is the outcome and what to do, below
inline constexpr const char* kDownloadFailedMessage = "Programming Failed";

// ---- the question before a downgrade
inline constexpr const char* kDowngradeMessage = "This is a Downgrade:";
inline constexpr const char* kDowngradeInformative = "Press OK to Continue or Cancel to Quit";
inline constexpr const char* kAlertCancelButtonTitle = "Cancel";

// ---- About
inline constexpr const char* kAboutMessage = "VIRorividiZezuzu  ";
inline constexpr const char* kAboutInformative =
    "Version 1.3, the firmware updater for the Ka FireWire unit. "
    "Keep the Ka connected and powered while it is being updated.";
// Added when the folder of the update records is known: before and after its path.
inline constexpr const char* kAboutRecordsBefore = " Every update leaves a record in ";
inline constexpr const char* kAboutRecordsAfter =
    "; send the latest one with a report of a failed update.";

// ---- an update's outcome: one sentence, then the first failure's status
inline constexpr const char* kOutcomeUnitChanged =
    "The Ka changed before the update began; nothing was written.";
inline constexpr const char* kOutcomeBothInstalled =
    "Both the Xilinx image and the MCORE image were installed.";
inline constexpr const char* kOutcomeOnlyXilinxInstalled =
    "The Xilinx image was installed; the MCORE image was not.";
inline constexpr const char* kOutcomeOnlyMcoreInstalled =
    "The MCORE image was installed; the Xilinx image was not.";
inline constexpr const char* kOutcomeNeitherInstalled =
    "Neither the Xilinx image nor the MCORE image was installed.";
// printf format of the first failure's status, after the sentence.
inline constexpr const char* kOutcomeErrorFormat = " Error 0x%08X.";
// What to do after a failure: another unit was connected, or anything else.
inline constexpr const char* kFailureAdviceUnitChanged =
    " Check which unit is connected, then try the update again.";
inline constexpr const char* kFailureAdvice =
    " Do not cycle the Power on your Ka. Check its FireWire connection, then "
    "try the update again.";

#endif
