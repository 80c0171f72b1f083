// The SATA trace vocabulary. Records name things by position, so each table
// keeps the bridge firmware's order; the checks at the end keep every length
// global equal to its table's entry count.
#include "trace/sata_names.h"

#include <stddef.h>
#include <string.h>

#include "trace/sata_decode.h"

namespace {
// The entry counts, as constants the compiler can check the tables against.
constexpr int32_t kSataStateLen = 7;
constexpr int32_t kTransTagTypeLen = 42;
constexpr int32_t kAct12Len = 22;
constexpr int32_t kIstsLen = 14;

template <typename T, size_t N>
constexpr size_t entryCount(const T (&)[N]) {
    return N;
}
}  // namespace

const char* const SATA_STATE[] = {
    "INIT", "IDLE", "RCV", "SND", "DMA_READ", "DMA_WRITE", "COMMRESET",
};
const int32_t sataStateLen = kSataStateLen;

const char* const SataTranslateTagType[] = {
    "UnknownTag",
    "dsata_init_A",
    "dsata_reset_A",
    "_dsata_proc_fis_command_decode_A",
    "_dsata_proc_piosetup_in_complete_A",
    "_dsata_proc_packet12_decode_A",
    "_dsata_proc_res_fm_disc_complete_A",
    "_dsata_proc_res_fm_disc_complete_B",
    "_dsata_proc_res_fm_disc_complete_C",
    "_dsata_proc_piosetup_out_complete_A",
    "_dsata_proc_piosetup_out_complete_B",
    "_dsata_proc_dfis_wait_data_receive_A",
    "_dsata_proc_dfis_out_complete_A",
    "_dsata_proc_dfis_out_complete_B",
    "_dsata_proc_dma_out_complete_A",
    "_dsata_proc_dma_out_complete_B",
    "_dsata_proc_dma_out_complete_C",
    "_dsata_proc_dfis_decode_A",
    "_dsata_proc_dfis_decode_B",
    "_dsata_proc_dfis_decode_C",
    "_dsata_proc_dfis_continue_A",
    "_dsata_proc_dfis_continue_B",
    "_dsata_proc_snd_result_code_A",
    "_dsata_proc_snd_result_code_B",
    "_dsata_proc_identity_fis_A",
    "_dsata_proc_register_d2h_fis_A",
    "_dsata_command_fwd_disc_emulator_A",
    "_dsata_command_fwd_disc_emulator_B",
    "_dsata_command_fwd_disc_emulator_C",
    "_dsata_command_fwd_disc_emulator_D",
    "_dsata_proc_data_snd_to_hdd_A",
    "_dsata_proc_data_snd_to_hdd_B",
    "_dsata_proc_data_snd_to_hdd_C",
    "_dsata_proc_data_rcv_fm_hdd_A",
    "_dsata_proc_regd2h_command_response_A",
    "_dsata_proc_regd2h_indication_A",
    "_dsata_proc_set_features_command_response_A",
    "_dsata_proc_arg_wait_list_entry_A",
    "_dsata_proc_arg_wait_list_entry_B",
    "_dsata_proc_response_delivery_A",
    "_dsata_proc_response_delivery_B",
    "dsata_set_protocol_flag_idle_A",
};
const int32_t transTagTypeLen = kTransTagTypeLen;

const char* const SATATranslateACT12[] = {
    "ACT_NONE",         "ACT_RSV_REG_D2H", "ACT_SND_REG_D2H",  "ACT_RCV_REG_H2D",
    "ACT_PIO_OUT_SUP",  "ACT_PIO_IN_SUP",  "ACT_SND_DATA_FIS", "ACT_WAIT_DATA_RCV",
    "ACT_RCV_DATA_FIS", "ACT_RCV_ARG_FIS", "ACT_RCV_PACKET12", "ACT_SND_DMA",
    "ACT_RCV_DMA",      "ACT_SND_START",   "ACT_SND_ETHER",    "ACT_RCV_ETHER",
    "ACT_SND_HSATA",    "ACT_RCV_HSATA",   "ACT_SND_ERROR",    "ACT_RCV_ERROR",
    "ACT_FATAL_ERROR",  "ACT_END",
};
const int32_t act12Len = kAct12Len;

const char* const IstatusCode[] = {
    "istatus=NONE",      "istatus=INIT",  "istatus=PHYRDY",  "istatus=IDENTITY",
    "istatus=RCV_EN",    "istatus=IDLE",  "istatus=BUSY",    "istatus=RESET",
    "istatus=CHK_H2D",   "istatus=FATAL", "istatus=ILLEGAL", "istatus=FPGA_ONLY_RESET",
    "istatus=COMMRESET", "istatus=END",
};
const int32_t istsLen = kIstsLen;

// A table that gains or loses an entry without its length global following
// would make every lookup's bound check wrong; refuse to build instead.
static_assert(entryCount(SATA_STATE) == static_cast<size_t>(kSataStateLen),
              "sataStateLen != SATA_STATE entries");
static_assert(entryCount(SataTranslateTagType) == static_cast<size_t>(kTransTagTypeLen),
              "transTagTypeLen != SataTranslateTagType entries");
static_assert(entryCount(SATATranslateACT12) == static_cast<size_t>(kAct12Len),
              "act12Len != SATATranslateACT12 entries");
static_assert(entryCount(IstatusCode) == static_cast<size_t>(kIstsLen),
              "istsLen != IstatusCode entries");

namespace {

const int kTroubleTags[] = {0, 9, 82};  // FatalError, UnexpectedState, AHCI_Fail_Alloc_Resp_Buffer

// Whether `word` holds `name`, or `mark` directly followed by `name`.
bool holds(const char* word, const char* name) {
    return strstr(word, name) != nullptr;
}

bool holdsMarked(const char* word, const char* mark, const char* name) {
    const size_t markLength = strlen(mark);
    const size_t nameLength = strlen(name);
    for (const char* at = strstr(word, mark); at; at = strstr(at + 1, mark)) {
        if (strncmp(at + markLength, name, nameLength) == 0) return true;
    }
    return false;
}

bool wordTellsOfTrouble(const char* word) {
    // Every name looked for holds "_ERROR" or "="; most words hold neither.
    if (strchr(word, '=')) {
        if (holds(word, IstatusCode[SataIstatusFatal]) ||
            holds(word, IstatusCode[SataIstatusIllegal]) ||
            holds(word, IstatusCode[SataIstatusCommReset]) ||
            holdsMarked(word, SATA_STATE_MARK, SATA_STATE[SataStateCommReset])) {
            return true;
        }
    }
    if (!strstr(word, "_ERROR")) return false;
    return holds(word, SATATranslateACT12[SataActSndError]) ||
           holds(word, SATATranslateACT12[SataActRcvError]) ||
           holds(word, SATATranslateACT12[SataActFatalError]);
}

}  // namespace

int SataTellsOfTrouble(const char* event, const char* qualifier, const char* argument) {
    const char* words[] = {event ? event : "", qualifier ? qualifier : "",
                           argument ? argument : ""};
    for (const int tag : kTroubleTags) {
        if (strcmp(words[0], SataTagEvent(tag)) == 0) return 1;
    }
    for (const char* word : words) {
        if (wordTellsOfTrouble(word)) return 1;
    }
    return 0;
}
