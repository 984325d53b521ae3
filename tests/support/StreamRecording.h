// Records what is written to std::cout and std::cerr, from whichever thread writes, for the
// life of the object. Unlike the file-descriptor capture, it can watch the text as it is
// written: a watcher runs on the writing thread right after the text it waits for has gone
// out, to see what held at that moment.
//
// Install it before starting the threads that write and read it only after they are done
// (the hand-over is the caller's); the streams themselves are swapped only here.
#ifndef KA_TESTS_STREAMRECORDING_H
#define KA_TESTS_STREAMRECORDING_H

#include <functional>
#include <iostream>
#include <streambuf>
#include <string>
#include <utility>

namespace katest {

class RecordingStreamBuffer final : public std::streambuf {
  public:
    // watcher runs each time the recorded text comes to end with watched.
    void Watch(std::string watched, std::function<void()> watcher) {
        mWatched = std::move(watched);
        mWatcher = std::move(watcher);
    }

    const std::string& Text() const { return mText; }

  protected:
    int_type overflow(int_type character) override {
        if (!traits_type::eq_int_type(character, traits_type::eof())) {
            Append(std::string(1, traits_type::to_char_type(character)));
        }
        return traits_type::not_eof(character);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        Append(std::string(text, static_cast<std::size_t>(count)));
        return count;
    }

  private:
    void Append(const std::string& text) {
        mText += text;
        if (mWatcher && !mWatched.empty() && mText.ends_with(mWatched)) {
            mWatcher();
        }
    }

    std::string mText;
    std::string mWatched;
    std::function<void()> mWatcher;
};

class ScopedStreamRecording {
  public:
    ScopedStreamRecording()
        : mPreviousOut(std::cout.rdbuf(&mOut)), mPreviousErr(std::cerr.rdbuf(&mErr)) {}
    ~ScopedStreamRecording() {
        std::cout.rdbuf(mPreviousOut);
        std::cerr.rdbuf(mPreviousErr);
    }
    ScopedStreamRecording(const ScopedStreamRecording&) = delete;
    ScopedStreamRecording& operator=(const ScopedStreamRecording&) = delete;

    RecordingStreamBuffer& Out() { return mOut; }
    RecordingStreamBuffer& Err() { return mErr; }

  private:
    RecordingStreamBuffer mOut;
    RecordingStreamBuffer mErr;
    std::streambuf* mPreviousOut;
    std::streambuf* mPreviousErr;
};

}  // namespace katest

#endif
