// The vocabulary of the bridge's SATA trace: four name tables indexed from 0,
// each with a global holding its entry count. Records refer to names by
// position, so the order of every table is fixed. Beside them, the rule that
// tells which decoded records speak of trouble, by the names of these tables.
#pragma once

#include <stdint.h>

extern const char* const SATA_STATE[];            // SATA states
extern const int32_t sataStateLen;                // 7
extern const char* const SataTranslateTagType[];  // trace points of the SATA firmware
extern const int32_t transTagTypeLen;             // 42
extern const char* const SATATranslateACT12[];    // actions
extern const int32_t act12Len;                    // 22
extern const char* const IstatusCode[];           // istatus names, "istatus=" included
extern const int32_t istsLen;                     // 14

// A SATAWakeup's decoded argument ends in this mark and the state's name, or
// SATA_STATE_UNKNOWN when the state number has no entry in SATA_STATE.
#define SATA_STATE_MARK "state="
#define SATA_STATE_UNKNOWN "UNKNOWN"

// Positions of the names that the trouble rule looks for.
enum SataTroubleName {
    SataStateCommReset = 6,    // SATA_STATE
    SataActSndError = 18,      // SATATranslateACT12
    SataActRcvError = 19,      // SATATranslateACT12
    SataActFatalError = 20,    // SATATranslateACT12
    SataIstatusFatal = 9,      // IstatusCode
    SataIstatusIllegal = 10,   // IstatusCode
    SataIstatusCommReset = 12  // IstatusCode
};

// Whether a decoded record tells of trouble: its event is FatalError,
// UnexpectedState or AHCI_Fail_Alloc_Resp_Buffer (the events of tags 0, 9 and
// 82), or any of its words names an error action (ACT_SND_ERROR,
// ACT_RCV_ERROR, ACT_FATAL_ERROR), the fatal, illegal or COMMRESET istatus, or
// the COMMRESET state after SATA_STATE_MARK. The words are NUL-terminated;
// null reads as empty.
int SataTellsOfTrouble(const char* event, const char* qualifier, const char* argument);
