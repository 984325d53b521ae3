#include "ThreadCreation.h"

#include <atomic>

// The linker's names for the wrapped call and the original (-Wl,--wrap=pthread_create).
extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*entry)(void*), void* argument);
extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*entry)(void*), void* argument);

namespace {

std::atomic<katest::ThreadCreateFunction> gThreadCreateFunction{nullptr};

}  // namespace

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*entry)(void*), void* argument) {
    const katest::ThreadCreateFunction create =
        gThreadCreateFunction.load(std::memory_order_acquire);
    if (create != nullptr) {
        return create(thread, attributes, entry, argument);
    }
    return __real_pthread_create(thread, attributes, entry, argument);
}

namespace katest {

ThreadCreateFunction SetThreadCreateFunction(ThreadCreateFunction create) {
    return gThreadCreateFunction.exchange(create, std::memory_order_acq_rel);
}

int CreateSystemThread(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
                       void* argument) {
    return __real_pthread_create(thread, attributes, entry, argument);
}

}  // namespace katest
