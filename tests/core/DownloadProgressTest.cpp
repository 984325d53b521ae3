#include <MacTypes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "DownloadProgress.h"
#include "KaXilinx.h"
#include "Ka_MCORE.h"
#include "StreamRecording.h"

namespace {

// The values shown after each block of an image sent in 128-byte blocks from start, the
// fraction formed the way the sequencer forms it.
std::vector<UInt32> ValuesAfterBlocks(DownloadProgress& progress, SInt32 start, SInt32 size) {
    std::vector<UInt32> values;
    for (SInt32 offset = start; offset < size;) {
        offset += std::min<SInt32>(128, size - offset);
        progress.Update(static_cast<float>(offset) / static_cast<float>(size));
        values.push_back(progress.Get());
    }
    return values;
}

void ExpectEveryWholeNumberRising(const std::vector<UInt32>& values, UInt32 first, UInt32 last) {
    ASSERT_FALSE(values.empty());
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    const std::set<UInt32> seen(values.begin(), values.end());
    std::set<UInt32> expected;
    for (UInt32 value = first; value <= last; ++value) {
        expected.insert(value);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(values.back(), last);
}

TEST(DownloadProgressTest, FreshObjectShowsZeroAndWeightsAsXilinx) {
    DownloadProgress progress;
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();
    EXPECT_EQ(progress.Get(), 40u);
}

TEST(DownloadProgressTest, XilinxPhases) {
    DownloadProgress progress;
    progress.SetDeviceType(Xilinx);
    progress.SetErase();
    EXPECT_EQ(progress.Get(), 40u);
    progress.SetPgm();
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(0.0f);
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(0.5f);
    EXPECT_EQ(progress.Get(), 50u);
    progress.Update(0.99999f);
    EXPECT_EQ(progress.Get(), 59u);
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 60u);
}

TEST(DownloadProgressTest, McorePhases) {
    DownloadProgress progress;
    progress.SetDeviceType(MCORE);
    progress.SetErase();
    EXPECT_EQ(progress.Get(), 80u);
    progress.SetPgm();
    progress.Update(0.25f);
    EXPECT_EQ(progress.Get(), 85u);
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 100u);
}

TEST(DownloadProgressTest, UpdateOutsideProgrammingAddsNothing) {
    DownloadProgress progress;
    progress.SetDeviceType(MCORE);
    progress.Update(0.7f);
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();
    progress.Update(0.7f);
    EXPECT_EQ(progress.Get(), 80u);
    // A second erase mark starts the phase over, without the earlier advance.
    progress.SetPgm();
    progress.SetErase();
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 80u);
    progress.Reset();
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 0u);
}

TEST(DownloadProgressTest, ResetKeepsTheDeviceType) {
    DownloadProgress progress;
    progress.SetDeviceType(MCORE);
    progress.SetErase();
    progress.Reset();
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();
    EXPECT_EQ(progress.Get(), 80u);
}

// What a front end without the bar shows: which image and which phase, as the run goes.
TEST(DownloadProgressTest, ThePhaseFollowsTheRunImageByImage) {
    DownloadProgress progress;
    const auto phase = [&progress] {
        DL_DEVICE_TYPE type = MCORE;
        DownloadPhase current = kDownloadProgramming;
        progress.GetPhase(type, current);
        return std::pair(type, current);
    };
    EXPECT_EQ(std::pair(Xilinx, kDownloadPreparing), phase());
    progress.SetErase();
    EXPECT_EQ(std::pair(Xilinx, kDownloadErasing), phase());
    progress.SetPgm();
    progress.Update(0.5f);
    EXPECT_EQ(std::pair(Xilinx, kDownloadProgramming), phase());
    progress.SetDeviceType(MCORE);
    EXPECT_EQ(std::pair(MCORE, kDownloadPreparing), phase());
    progress.Reset();
    progress.SetErase();
    EXPECT_EQ(std::pair(MCORE, kDownloadErasing), phase());
    progress.SetPgm();
    EXPECT_EQ(std::pair(MCORE, kDownloadProgramming), phase());
    progress.Reset();
    EXPECT_EQ(std::pair(MCORE, kDownloadPreparing), phase());
}

TEST(DownloadProgressTest, FractionsOutsideTheRangeStayInThePhase) {
    DownloadProgress progress;
    progress.SetDeviceType(Xilinx);
    progress.SetErase();
    progress.SetPgm();
    progress.Update(-3.0f);
    EXPECT_EQ(progress.Get(), 40u);
    progress.Update(2.0f);
    EXPECT_EQ(progress.Get(), 60u);
    progress.Update(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(progress.Get(), 40u);
}

TEST(DownloadProgressTest, BlocksOfTheBuiltInImages) {
    DownloadProgress progress;
    progress.Reset();
    progress.SetDeviceType(Xilinx);
    progress.SetErase();
    progress.SetPgm();
    const auto xilinx = ValuesAfterBlocks(progress, 74, static_cast<SInt32>(KaXilinxDataSizeBytes));
    EXPECT_EQ(xilinx.size(), 2631u);
    ExpectEveryWholeNumberRising(xilinx, 40, 60);
    // Block 131 (counting from 1) is the first to show 41.
    EXPECT_EQ(xilinx[129], 40u);
    EXPECT_EQ(xilinx[130], 41u);

    progress.SetDeviceType(MCORE);
    progress.Reset();
    EXPECT_EQ(progress.Get(), 0u);
    progress.SetErase();
    progress.SetPgm();
    const auto mcore = ValuesAfterBlocks(progress, 0, static_cast<SInt32>(KaMCORE06dataSize));
    EXPECT_EQ(mcore.size(), 585u);
    ExpectEveryWholeNumberRising(mcore, 80, 100);
}

TEST(DownloadProgressTest, InvalidDeviceTypeChangesNothing) {
    DownloadProgress progress;
    progress.SetDeviceType(Xilinx);
    progress.SetErase();
    progress.SetPgm();
    progress.Update(0.5f);
    ASSERT_EQ(progress.Get(), 50u);

    progress.SetDeviceType(static_cast<DL_DEVICE_TYPE>(2));
    {
        // Through the same stream as every other line, so that a shared log keeps the order.
        katest::ScopedStreamRecording recording;
        progress.SetErase();
        EXPECT_EQ(recording.Err().Text(), "Invalid device type\n");
        EXPECT_EQ(progress.Get(), 50u);
        progress.SetPgm();
        EXPECT_EQ(recording.Err().Text(), "Invalid device type\nInvalid device type\n");
    }

    // Base and advance are still those of the Xilinx phase.
    progress.Update(1.0f);
    EXPECT_EQ(progress.Get(), 60u);
    progress.SetDeviceType(MCORE);
    progress.SetErase();
    EXPECT_EQ(progress.Get(), 80u);
}

}  // namespace
