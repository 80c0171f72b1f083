// The vocabulary of the bridge's SATA trace: four name tables indexed from 0,
// each with a global holding its entry count. Records refer to names by
// position, so the order of every table is fixed.
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
