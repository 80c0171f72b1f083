// The record decoder at its boundaries: field limits, the one-space rule, the
// radix of each field, the last valid and first invalid index of every table,
// action pairs, truncation.
#include "trace/sata_decode.h"

#include <gtest/gtest.h>

#include <string>

#include "trace/sata_names.h"

namespace {

struct Decoded {
    int result;
    std::string text;
};

Decoded decode(const char* record, int size = 260) {
    char out[260];
    memset(out, 'X', sizeof out);
    int result = SataCmdParse(record, out, size);
    return {result, std::string(out)};
}

struct Case {
    const char* record;
    const char* expected;
};

// Record texts and their decoded lines, every blank counted.
const Case kDecodes[] = {
    // Tag 1 and its two tokens, compared without regard to case.
    {"F3 1 0012", "CF_READ  0012"},
    {"f3 1 0012", "CF_READ  0012"},
    {"d1 1 abc", "Log from VARN  abc"},
    {"07 1 abc", "ActivateTransaction 07 abc"},
    {"0F3 1 x", "ActivateTransaction 0F3 x"},
    // Plain rows.
    {"00 0 x", "FatalError 00 x"},
    {"00 2 x", "CancelAll 00 x"},
    {"1 3 x", "CompleteTransation 1 x"},
    {"1 4 x", "FPGA_Reset 1 x"},
    {"1 5 x", "ResetInternal 1 x"},
    {"1 6 x", "NeedPhyReady 1 x"},
    {"1 7 x", "PHYBecameReady 1 x"},
    {"1 9 x", "UnexpectedState 1 x"},
    {"1 55 x", "SATAEnableRecv 1 x"},
    {"1 61 x", "AHCI_CacheInval 1 x"},
    {"1 62 x", "AHCI_CacheWriteBack 1 x"},
    {"1 63 x", "AHCI_CFReadLen 1 x"},
    {"1 66 x", "F3Flow 1 x"},
    {"1 70 x", "DMA Start 1 x"},
    {"1 71 x", "DMA End 1 x"},
    {"1 80 x", "FPGA_DMARXStart 1 x"},
    {"1 81 x", "FPGA_DMARXStop 1 x"},
    {"1 82 x", "AHCI_Fail_Alloc_Resp_Buffer 1 x"},
    {"0 209 x", "VARN Log 0 x"},
    // Tag 8: istatus (hexadecimal code), action pair, state.
    {"5 8 3/7+1", "SATAWakeup istatus=IDLE ACT_RCV_REG_H2D/ACT_WAIT_DATA_RCV state=IDLE"},
    {"2 8 1/2+0006F", "SATAWakeup istatus=PHYRDY ACT_RSV_REG_D2H/ACT_SND_REG_D2H state=COMMRESET"},
    {"D 8 15/0+6", "SATAWakeup istatus=END ACT_END/ACT_NONE state=COMMRESET"},
    {"E 8 +7", "SATAWakeup E  state=UNKNOWN"},
    {"14 8 +0", "SATAWakeup 14  state=INIT"},
    {"-1 8 +-1", "SATAWakeup -1  state=UNKNOWN"},
    {"0 8 x", "SATAWakeup istatus=NONE  state=UNKNOWN"},
    {"0 8 +zz", "SATAWakeup istatus=NONE  state=INIT"},
    {"0 8 1/2+", "SATAWakeup istatus=NONE ACT_RSV_REG_D2H/ACT_SND_REG_D2H state=UNKNOWN"},
    {"0 8 +00000", "SATAWakeup istatus=NONE  state=INIT"},
    {"0 8 +00006", "SATAWakeup istatus=NONE  state=INIT"},
    {"0 8 +6", "SATAWakeup istatus=NONE  state=COMMRESET"},
    {"0 8", "SATAWakeup istatus=NONE  state=UNKNOWN"},
    // Tag 10: the code read in decimal.
    {"21 10 x", "SATABusyAction ACT_END x"},
    {"0 10 x", "SATABusyAction ACT_NONE x"},
    {"22 10 x", "SATABusyAction 22 x"},
    {"-1 10 x", "SATABusyAction -1 x"},
    {"0xA 10 x", "SATABusyAction ACT_NONE x"},
    {"10 10 x", "SATABusyAction ACT_RCV_PACKET12 x"},
    // Tag 40: hexadecimal sub-codes.
    {"1 40 0001", "VARN: Open Begin 0001"},
    {"2 40 0001", "VARN: Open request sent/Begin receive response 0001"},
    {"3 40 0001", "VARN: 3 Open Complete (fh=0001)"},
    {"4 40 0001", "VARN: 4 Close Begin (fh=0001)"},
    {"5 40 0001", "VARN: Close request sent/Begin receive response 0001"},
    {"6 40 0001", "VARN: Close Complete 0001"},
    {"7 40 200", "VARN: 7 Read Begin (size=200)"},
    {"9 40 200", "VARN: Read Complete 200"},
    {"A 40 200", "VARN: A Write Begin (size=200)"},
    {"0xa 40 200", "VARN: 0xa Write Begin (size=200)"},
    {"C 40 200", "VARN: Write Complete 200"},
    {"ff 40 xyz", "VARN: DBGINT "},
    {"8 40 xyz", "VARN: ?What? "},
    {"B 40 xyz", "VARN: ?What? "},
    {"D 40 xyz", "VARN: ?What? "},
    {"0 040 x", "VARN: ?What? "},
    {"3 40", "VARN: 3 Open Complete (fh=)"},
    // Tag 41.
    {"FF 41 abc", "QELT: DBGINT "},
    {"fF 41 abc", "QELT: DBGINT "},
    {"01 41 abc", "QELT: 01 abc"},
    // Tag 67: directions; the code is never shown.
    {"DB 67 0100", "->recv  0100"},
    {"4 67 0100", "->recv  0100"},
    {"5 67 0100", "<-recv  0100"},
    {"dc 67 0100", "<-recv  0100"},
    {"B1 67 0100", "->send  0100"},
    {"B2 67 0100", "<-send  0100"},
    {"10 67 x", "F3FlowLen ?What? x"},
    {"B3 67 x", "F3FlowLen ?What? x"},
    // Tag 50: trace point (decimal code) and action pair.
    {"12 50 1/2",
     "AHCI_SATA_ACT_Log _dsata_proc_dfis_out_complete_A ACT_RSV_REG_D2H/ACT_SND_REG_D2H"},
    {"41 50 15/15", "AHCI_SATA_ACT_Log dsata_set_protocol_flag_idle_A ACT_END/ACT_END"},
    {"42 50 1/16", "AHCI_SATA_ACT_Log 42 1/16"},
    {"0 50 16/1", "AHCI_SATA_ACT_Log UnknownTag 16/1"},
    {"1 50 1/+15", "AHCI_SATA_ACT_Log dsata_init_A ACT_RSV_REG_D2H/ACT_END"},
    {"1 50 1/0x15", "AHCI_SATA_ACT_Log dsata_init_A ACT_RSV_REG_D2H/ACT_END"},
    {"1 50 1/-1", "AHCI_SATA_ACT_Log dsata_init_A 1/-1"},
    {"1 50 5", "AHCI_SATA_ACT_Log dsata_init_A 5"},
    {"1 50 0000001/2", "AHCI_SATA_ACT_Log dsata_init_A ACT_RSV_REG_D2H/ACT_SND_REG_D2H"},
    {"1 50 00000001/2", "AHCI_SATA_ACT_Log dsata_init_A 00000001/2"},
    // The tag field is read in decimal; without digits the record is echoed.
    {"x 99 y", "99 x y"},
    {"x abc y", "abc x y"},
    {"0 210 x", "210 0 x"},
    {"x 12x y", "12x x y"},
    {"x 1x y", "ActivateTransaction x y"},
    {"x -1 y", "-1 x y"},
    {"x +2 y", "CancelAll x y"},
    {"x 08 y", "SATAWakeup istatus=NONE  state=UNKNOWN"},
    {"x 0x2 y", "FatalError x y"},
    // Missing fields and extra words.
    {"F3 1", "CF_READ  "},
    {"F3 1 x y z", "CF_READ  x"},
    {"F3 1 x  ", "CF_READ  x"},
    {"F3", " F3 "},
    {"F3 ", " F3 "},
    // A second blank in a row ends the next field at once.
    {"F3  1 x", " F3 1"},
    {"0 2  x", "CancelAll 0 "},
    {"", "  "},
    {" 2 x", "  "},
    // Field lengths at their limits.
    {"ABC 2 x", "CancelAll ABC x"},
    {"A 002 x", "CancelAll A x"},
    {"0 2 123456789012345678901234567890", "CancelAll 0 123456789012345678901234567890"},
};

// Every record also as the record model's three words, and the decoded line
// cut back into the same three words by the decoder's vocabulary (events and
// qualifiers holding blanks included).
TEST(SataCmdParse, DecodesEachRecord) {
    for (const Case& c : kDecodes) {
        Decoded d = decode(c.record);
        EXPECT_EQ(d.result, 0) << "record «" << c.record << "»";
        EXPECT_EQ(d.text, c.expected) << "record «" << c.record << "»";

        SataWords words;
        ASSERT_EQ(SataDecodeWords(c.record, &words), 0) << c.record;
        const std::string joined =
            std::string(words.event) + " " + words.qualifier + " " + words.argument;
        EXPECT_EQ(joined, c.expected) << "words of «" << c.record << "»";

        const std::string line = c.expected;
        SataWordSpans spans;
        SataSplitWords(line.c_str(), static_cast<int>(line.size()), &spans);
        EXPECT_EQ(line.substr(0, static_cast<size_t>(spans.eventLength)), words.event)
            << "event of «" << line << "»";
        EXPECT_EQ(line.substr(static_cast<size_t>(spans.qualifierStart),
                              static_cast<size_t>(spans.qualifierLength)),
                  words.qualifier)
            << "qualifier of «" << line << "»";
        EXPECT_EQ(line.substr(static_cast<size_t>(spans.argumentStart)), words.argument)
            << "argument of «" << line << "»";
    }
}

TEST(SataDecodeWords, FailuresLeaveThreeEmptyWords) {
    SataWords words;
    EXPECT_EQ(SataDecodeWords("ABCD 1 x", &words), -2);
    EXPECT_STREQ(words.event, "");
    EXPECT_STREQ(words.qualifier, "");
    EXPECT_STREQ(words.argument, "");
    EXPECT_EQ(SataDecodeWords(nullptr, &words), -1);
    EXPECT_EQ(SataDecodeWords("0 2 x", nullptr), -1);
    // Lines without the blanks of a whole decoded line.
    SataWordSpans spans;
    SataSplitWords("DMA Start", 9, &spans);
    EXPECT_EQ(spans.eventLength, 3);
    EXPECT_EQ(spans.qualifierLength, 5);
    EXPECT_EQ(spans.argumentStart, 9);
    SataSplitWords("word", 4, &spans);
    EXPECT_EQ(spans.eventLength, 4);
    EXPECT_EQ(spans.qualifierStart, 4);
    EXPECT_EQ(spans.argumentStart, 4);
    SataSplitWords("", 0, &spans);
    EXPECT_EQ(spans.argumentStart, 0);
}

TEST(SataCmdParse, FieldPastItsLimitFails) {
    const char* tooLong[] = {
        "ABCD 1 x",
        "A 1234 x",
        "A 0002 x",
        "0 2 1234567890123456789012345678901",
        "0 2 1234567890123456789012345678901 more",
        "ABCD",
        "A 1234",
    };
    for (const char* record : tooLong) {
        Decoded d = decode(record);
        EXPECT_EQ(d.result, -2) << record;
        EXPECT_EQ(d.text, "") << record;
    }
}

TEST(SataCmdParse, ParametersLeavingNoRoom) {
    char out[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(SataCmdParse(nullptr, out, 4), -1);
    EXPECT_EQ(out[0], 'X');
    EXPECT_EQ(SataCmdParse("0 2 x", nullptr, 4), -1);
    EXPECT_EQ(SataCmdParse("0 2 x", out, 0), -1);
    EXPECT_EQ(SataCmdParse("0 2 x", out, -5), -1);
    EXPECT_EQ(out[0], 'X');
    EXPECT_EQ(SataCmdParse("0 2 x", out, 1), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'X');
}

TEST(SataCmdParse, TruncatesToTheCallersSize) {
    Decoded d = decode("A 1 1234", 16);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.text, "ActivateTransac");
    d = decode("A 1 1234", 2);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.text, "A");

    // Nothing is written past the given size.
    char out[8];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(SataCmdParse("5 8 3/7+1", out, 5), 0);
    EXPECT_EQ(std::string(out), "SATA");
    EXPECT_EQ(out[5], 'X');
}

TEST(SataCmdParse, LongestComposedLineFitsTheFormattersBuffer) {
    // The longest decodings: tag 8 with long names and tag 50's longest point.
    Decoded d = decode("B 8 11/12+6");
    EXPECT_EQ(d.text,
              "SATAWakeup istatus=FPGA_ONLY_RESET ACT_RCV_HSATA/ACT_SND_ERROR state=COMMRESET");
    d = decode("36 50 14/14");
    EXPECT_EQ(d.text,
              "AHCI_SATA_ACT_Log _dsata_proc_set_features_command_response_A "
              "ACT_FATAL_ERROR/ACT_FATAL_ERROR");
}

struct PairCase {
    const char* text;
    const char* expected;
};

TEST(Act12Parse, RendersPairsAndRejectsTheRest) {
    const PairCase cases[] = {
        {"1/2", "ACT_RSV_REG_D2H/ACT_SND_REG_D2H"},
        {"0000001/2", "ACT_RSV_REG_D2H/ACT_SND_REG_D2H"},
        {"00000001/2", ""},
        {"5", ""},
        {"", ""},
        {"1/", "ACT_RSV_REG_D2H/ACT_NONE"},
        {"/1", "ACT_NONE/ACT_RSV_REG_D2H"},
        {"15/0", "ACT_END/ACT_NONE"},
        {"16/0", ""},
        {"0/16", ""},
        {"1/+15", "ACT_RSV_REG_D2H/ACT_END"},
        {"1/0x15", "ACT_RSV_REG_D2H/ACT_END"},
        {"3/+7+1", "ACT_RCV_REG_H2D/ACT_WAIT_DATA_RCV"},
        {"1/-1", ""},
        {"-1/1", ""},
        {"a/b", "ACT_RCV_PACKET12/ACT_SND_DMA"},
        {"1/ffffffffffffffffffffffff", ""},
        {"1/2/3", "ACT_RSV_REG_D2H/ACT_SND_REG_D2H"},
    };
    for (const PairCase& c : cases) {
        char out[260];
        memset(out, 'X', sizeof out);
        Act12Parse(c.text, out, 259);
        EXPECT_EQ(std::string(out), c.expected) << c.text;
    }
}

TEST(Act12Parse, SmallSizes) {
    char out[8];
    memset(out, 'X', sizeof out);
    Act12Parse("1/2", out, 6);
    EXPECT_EQ(std::string(out), "ACT_R");
    EXPECT_EQ(out[6], 'X');
    memset(out, 'X', sizeof out);
    Act12Parse("1/2", out, 1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'X');
    memset(out, 'X', sizeof out);
    Act12Parse("1/2", out, 0);
    Act12Parse(nullptr, out, 8);
    EXPECT_EQ(out[0], 'X');
    Act12Parse("1/2", nullptr, 8);
}

TEST(NameTables, LengthsAndLastEntries) {
    EXPECT_EQ(sataStateLen, 7);
    EXPECT_EQ(transTagTypeLen, 42);
    EXPECT_EQ(act12Len, 22);
    EXPECT_EQ(istsLen, 14);
    EXPECT_STREQ(SATA_STATE[sataStateLen - 1], "COMMRESET");
    EXPECT_STREQ(SataTranslateTagType[transTagTypeLen - 1], "dsata_set_protocol_flag_idle_A");
    EXPECT_STREQ(SATATranslateACT12[act12Len - 1], "ACT_END");
    EXPECT_STREQ(IstatusCode[istsLen - 1], "istatus=END");
    EXPECT_STREQ(SataTranslateTagType[12], "_dsata_proc_dfis_out_complete_A");
    EXPECT_STREQ(SATATranslateACT12[0x15], "ACT_END");
}

// The trouble rule on decoded records: each name it looks for, its neighbours
// in the tables that are no trouble, and the echoed and known event names.
TEST(TroubleRule, NamesFromTheTablesInAnyWord) {
    struct TroubleCase {
        const char* record;
        int trouble;
        int echoed;
    } const cases[] = {
        {"1 0 x", 1, 0},
        {"1 9 x", 1, 0},
        {"1 82 x", 1, 0},
        {"1 2 x", 0, 0},
        {"1 81 x", 0, 0},
        {"0 50 12/0", 1, 0},
        {"0 50 0/13", 1, 0},
        {"0 50 14/0", 1, 0},
        {"0 50 11/15", 0, 0},
        {"9 8 0/0+1", 1, 0},
        {"a 8 0/0+1", 1, 0},
        {"c 8 0/0+1", 1, 0},
        {"b 8 0/0+1", 0, 0},
        {"d 8 0/0+1", 0, 0},
        {"5 8 0/0+6", 1, 0},
        {"5 8 0/0+5", 0, 0},
        {"5 8 0/0+7", 0, 0},
        {"1 2 state=COMMRESET", 1, 0},
        {"1 2 xstate=COMMRESETy", 1, 0},
        {"1 2 state=COMMRES", 0, 0},
        {"1 999 FatalError", 0, 1},
        {"1 2 ACT_SND_ERRO", 0, 0},
        {"AB", 0, 1},
    };
    for (const TroubleCase& c : cases) {
        SataWords w;
        ASSERT_EQ(SataDecodeWords(c.record, &w), 0) << c.record;
        EXPECT_EQ(SataTellsOfTrouble(w.event, w.qualifier, w.argument), c.trouble) << c.record;
        EXPECT_EQ(SataTagEchoed(&w), c.echoed) << c.record;
        EXPECT_EQ(SataKnownEvent(w.event), c.echoed ? 0 : 1) << c.record;
    }
    EXPECT_EQ(SataTellsOfTrouble(nullptr, nullptr, "istatus=FATAL"), 1);
    EXPECT_EQ(SataKnownEvent("->recv"), 1);
    EXPECT_EQ(SataKnownEvent("Log from VARN"), 1);
    EXPECT_EQ(SataKnownEvent("DMA"), 0);
    EXPECT_STREQ(SataTagEvent(209), "VARN Log");
    EXPECT_STREQ(SataTagEvent(210), "");
    EXPECT_STREQ(SataTagEvent(-1), "");
}

}  // namespace
