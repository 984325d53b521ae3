#include "ConsistencyCheck.h"

#include <gtest/gtest.h>

TEST(ConsistencyCheckDeathTest, NamesModuleLineAndExpressionThenStops) {
    EXPECT_DEATH(CheckConsistency(false, "virorividizezuzu", 297, "_pDownloader"),
                 "^virorividizezuzu:297: failed assertion `_pDownloader'\n$");
    EXPECT_DEATH(FailConsistencyCheck("Downloader", 84, "actualCount < DL_BUF_SIZE"),
                 "^Downloader:84: failed assertion `actualCount < DL_BUF_SIZE'\n$");
}

TEST(ConsistencyCheckTest, HoldingCheckDoesNothing) {
    CheckConsistency(true, "virorividizezuzu", 179, "!error");
    SUCCEED();
}
