#include "ConsistencyCheck.h"

#include <gtest/gtest.h>

TEST(ConsistencyCheckDeathTest, NamesModuleLineAndExpressionThenStops) {
    EXPECT_DEATH(CheckConsistency(false, "virorividizezuzu", 297, "_pDownloader"),
                 "^virorividizezuzu:297: failed assertion `_pDownloader'\n$");
    EXPECT_DEATH(FailConsistencyCheck("Downloader", 84, "actualCount < DL_BUF_SIZE"),
                 "^Downloader:84: failed assertion `actualCount < DL_BUF_SIZE'\n$");
}

// A check that holds must neither print nor stop: only the failing one after it may.
TEST(ConsistencyCheckDeathTest, HoldingCheckNeitherPrintsNorStops) {
    EXPECT_DEATH(
        {
            CheckConsistency(true, "virorividizezuzu", 179, "!error");
            CheckConsistency(false, "Downloader", 137, "numBytes > 0");
        },
        "^Downloader:137: failed assertion `numBytes > 0'\n$");
}
