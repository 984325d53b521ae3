// Standard output when it is the user's journal: the idle window's repeated lines once.
#include "GuiInternals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kaplatform::gui {

namespace {

JournalLineFilter* gFilter = nullptr;
bool gActive = false;
std::streambuf* gReplaced = nullptr;

std::size_t LineCount(const std::string& text) {
    std::size_t lines = 0;
    for (const char character : text) {
        lines += character == '\n' ? 1 : 0;
    }
    return lines;
}

}  // namespace

JournalLineFilter::JournalLineFilter(std::streambuf* journal) : _journal(journal) {}

JournalLineFilter::~JournalLineFilter() {
    std::lock_guard lock(_mutex);
    if (!_held.empty()) {
        WriteCountLocked();
        _journal->sputn(_held.data(), static_cast<std::streamsize>(_held.size()));
    }
    WriteCountLocked();
    _journal->pubsync();
}

void JournalLineFilter::BeginTimerProcedure() {
    std::lock_guard lock(_mutex);
    if (_depth > 0 && _holder == std::this_thread::get_id()) {
        EndHeldLines();
    }
    if (_depth == 0) {
        _holder = std::this_thread::get_id();
    }
    ++_depth;
}

void JournalLineFilter::EndTimerProcedure() {
    std::lock_guard lock(_mutex);
    if (_depth == 0) {
        return;
    }
    EndHeldLines();
    --_depth;
}

void JournalLineFilter::WriteLeftOutCount() {
    std::lock_guard lock(_mutex);
    WriteCountLocked();
    _journal->pubsync();
}

JournalLineFilter::int_type JournalLineFilter::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof())) {
        return traits_type::not_eof(character);
    }
    const char byte = traits_type::to_char_type(character);
    Put(&byte, 1);
    return character;
}

std::streamsize JournalLineFilter::xsputn(const char* text, std::streamsize count) {
    if (count > 0) {
        Put(text, static_cast<std::size_t>(count));
    }
    return count;
}

int JournalLineFilter::sync() {
    std::lock_guard lock(_mutex);
    return _journal->pubsync();
}

void JournalLineFilter::Put(const char* text, std::size_t count) {
    std::lock_guard lock(_mutex);
    if (_depth > 0 && _holder == std::this_thread::get_id()) {
        _held.append(text, count);
        return;
    }
    WriteCountLocked();
    _journal->sputn(text, static_cast<std::streamsize>(count));
    // A tick's lines after others are written again, so the journal reads without a search.
    _lastWritten.clear();
}

// A run that wrote nothing changes nothing: the lines of the runs around it are still the
// same ones.
void JournalLineFilter::EndHeldLines() {
    if (_held.empty()) {
        return;
    }
    if (_held == _lastWritten) {
        ++_leftOut;
    } else {
        WriteCountLocked();
        _journal->sputn(_held.data(), static_cast<std::streamsize>(_held.size()));
        _lastWritten = _held;
    }
    _held.clear();
}

void JournalLineFilter::WriteCountLocked() {
    if (_leftOut == 0) {
        return;
    }
    char line[160];
    const int length =
        std::snprintf(line, sizeof line, "(the %zu line%s above came %lu more time%s, left out)\n",
                      LineCount(_lastWritten), LineCount(_lastWritten) == 1 ? "" : "s", _leftOut,
                      _leftOut == 1 ? "" : "s");
    _leftOut = 0;
    if (length > 0) {
        _journal->sputn(line, std::min<std::streamsize>(length, sizeof line - 1));
    }
}

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected; a program whose
// standard output has been redirected since still inherits the variable.
bool StandardOutputIsJournal() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long device = std::strtoull(value, &end, 10);
    if (end == value || *end != ':') {
        return false;
    }
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (end == inodeText || *end != '\0') {
        return false;
    }
    struct stat output {};
    return fstat(STDOUT_FILENO, &output) == 0 && output.st_dev == device && output.st_ino == inode;
}

JournalLineFilter* StandardOutputJournalFilter() {
    return gActive ? gFilter : nullptr;
}

// The filter is never destroyed: a line written late, from another thread or a static's
// destructor, must still find a buffer. What it leaves out at the end is counted at exit.
void FilterStandardOutputForJournal(bool filter) {
    if (filter && !gActive) {
        if (gFilter == nullptr) {
            gReplaced = std::cout.rdbuf();
            gFilter = new JournalLineFilter(gReplaced);
            std::atexit([] {
                if (gActive) {
                    std::cout.flush();
                    gFilter->WriteLeftOutCount();
                }
            });
        }
        std::cout.rdbuf(gFilter);
        gActive = true;
    } else if (!filter && gActive) {
        gActive = false;
        gFilter->WriteLeftOutCount();
        if (std::cout.rdbuf() == gFilter) {
            std::cout.rdbuf(gReplaced);
        }
    }
}

}  // namespace kaplatform::gui
