// A value handed from one thread to another once. Unlike std::promise, the setter's last
// touch of the object is releasing its mutex, so the waiter may destroy the signal as soon
// as it has the value: bodies of detached threads can signal from their final lines.
#ifndef KA_TESTS_ONESHOTSIGNAL_H
#define KA_TESTS_ONESHOTSIGNAL_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

template <typename Value = bool>
class OneShotSignal {
  public:
    void Set(Value value = Value{}) {
        std::lock_guard<std::mutex> lock(mMutex);
        mValue = std::move(value);
        mChanged.notify_all();
    }

    // The value, or nothing when it did not come in time.
    std::optional<Value> WaitFor(std::chrono::steady_clock::duration longest) {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, longest, [this] { return mValue.has_value(); });
        return mValue;
    }

    bool IsSet() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mValue.has_value();
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::optional<Value> mValue;
};

#endif
