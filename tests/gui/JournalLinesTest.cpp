// Standard output as the journal keeps it: the lines of the idle ticks once, then how often
// they were left out; elsewhere, every byte as written.
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

using namespace katest;

namespace {

struct TickLines {
    std::string text;
};

void WriteTickLines(EventLoopTimerRef, void* userData) {
    std::cout << static_cast<TickLines*>(userData)->text;
}

}  // namespace

TEST(JournalLinesTest, EachUnchangedRunOfTickLinesIsWrittenOnceAndCounted) {
    // Lives as long as the program: the filter is never taken down.
    static std::stringbuf journal;
    std::streambuf* const output = std::cout.rdbuf(&journal);
    kaplatform::gui::FilterStandardOutputForJournal(true);
    ManualTimerDriver timers;
    kaplatform::SetEventLoopTimerDriver(&timers);
    TickLines lines{"Open Ka\nCtor DownloadUnit\nClose Ka\n"};
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(noErr, InstallEventLoopTimer(GetCurrentEventLoop(), 0, 0.5,
                                           NewEventLoopTimerUPP(WriteTickLines), &lines, &timer));

    for (int tick = 0; tick < 5; ++tick) {
        timers.FireAll();
    }
    std::cout << "Ctor Downloader\n";
    timers.FireAll();
    lines.text = "Open Ka\n";
    timers.FireAll();
    timers.FireAll();
    lines.text = "";
    timers.FireAll();
    lines.text = "Open Ka\n";
    timers.FireAll();
    kaplatform::gui::FilterStandardOutputForJournal(false);
    std::cout << "after\n";

    RemoveEventLoopTimer(timer);
    kaplatform::SetEventLoopTimerDriver(nullptr);
    std::cout.rdbuf(output);
    EXPECT_EQ(
        "Open Ka\nCtor DownloadUnit\nClose Ka\n"
        "(the 3 lines above came 4 more times, left out)\n"
        "Ctor Downloader\n"
        "Open Ka\nCtor DownloadUnit\nClose Ka\n"
        "Open Ka\n"
        "(the 1 line above came 2 more times, left out)\n"
        "after\n",
        journal.str())
        << "a tick that writes nothing breaks no run";
}

TEST(JournalLinesTest, OnlyTheStreamJournalStreamNamesIsTheJournal) {
    const char* const saved = std::getenv("JOURNAL_STREAM");
    const std::string before = saved != nullptr ? saved : "";
    struct stat output {};
    ASSERT_EQ(0, fstat(STDOUT_FILENO, &output));
    const std::string own = std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino);
    setenv("JOURNAL_STREAM", own.c_str(), 1);
    EXPECT_TRUE(kaplatform::gui::StandardOutputIsJournal());
    // A program started from the journal's service whose output was redirected since.
    setenv("JOURNAL_STREAM",
           (std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino + 1)).c_str(), 1);
    EXPECT_FALSE(kaplatform::gui::StandardOutputIsJournal());
    setenv("JOURNAL_STREAM", (own + "x").c_str(), 1);
    EXPECT_FALSE(kaplatform::gui::StandardOutputIsJournal());
    unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(kaplatform::gui::StandardOutputIsJournal());
    if (saved != nullptr) {
        setenv("JOURNAL_STREAM", before.c_str(), 1);
    }
}
