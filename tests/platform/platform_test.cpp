// The string helpers of the platform layer at their boundaries. The same
// cases run natively and, in the Windows build, under Wine, where
// qelt_snprintf stands on _vsnprintf, which leaves no terminator when it cuts.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

struct SnprintfCase {
    const char* text;
    size_t size;
    const char* expected;
    int count;
};

TEST(QeltSnprintf, CutsAndAlwaysTerminates) {
    const SnprintfCase cases[] = {
        {"", 1, "", 0},       {"abc", 1, "", 0},
        {"abc", 3, "ab", 2},   // one short: cut, terminated
        {"abc", 4, "abc", 3},  // exact fit
        {"abc", 5, "abc", 3}, {"abcdefgh", 6, "abcde", 5},
    };
    for (const SnprintfCase& c : cases) {
        char buffer[16];
        memset(buffer, 'X', sizeof buffer);
        int n = qelt_snprintf(buffer, c.size, "%s", c.text);
        EXPECT_STREQ(buffer, c.expected) << c.text << " in " << c.size;
        EXPECT_EQ(n, c.count) << c.text << " in " << c.size;
        // Nothing written past the given size.
        for (size_t i = c.size; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 'X');
    }
}

TEST(QeltSnprintf, NoRoomIsRefused) {
    char buffer[1] = {'X'};
    EXPECT_EQ(qelt_snprintf(buffer, 0, "%d", 7), -1);
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_EQ(qelt_snprintf(nullptr, 4, "%d", 7), -1);
}

TEST(QeltSnprintf, FormatsTheTimeOfATraceLine) {
    char buffer[32];
    EXPECT_EQ(qelt_snprintf(buffer, sizeof buffer, "\t%6d.%09d", 1523, 104233120), 17);
    EXPECT_STREQ(buffer, "\t  1523.104233120");
    EXPECT_EQ(qelt_snprintf(buffer, 8, "\t%6d.%09d", 1523, 104233120), 7);
    EXPECT_STREQ(buffer, "\t  1523");
}

TEST(QeltStricmp, IgnoresTheCaseOfAsciiLettersOnly) {
    EXPECT_EQ(qelt_stricmp("INET>", "inet>"), 0);
    EXPECT_EQ(qelt_stricmp("", ""), 0);
    EXPECT_LT(qelt_stricmp("abc", "ABD"), 0);
    EXPECT_GT(qelt_stricmp("abd", "ABC"), 0);
    EXPECT_LT(qelt_stricmp("ab", "ABC"), 0);
    EXPECT_NE(qelt_stricmp("a[", "A{"), 0);
}

TEST(LibraryName, LeavesRoomForA237CharacterDirectory) {
    // The driver's 260-character path holds the directory, the separator, the
    // file name and a terminator; on Windows exactly 237 characters remain.
    const size_t name = strlen(qeltDirSeparator) + strlen(qeltLibraryFileName);
    EXPECT_EQ(name, static_cast<size_t>(QELT_EXPECTED_NAME_LENGTH));
}

}  // namespace
