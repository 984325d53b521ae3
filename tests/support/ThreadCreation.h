// Stands between the program's thread library and pthread_create in the test executables
// that link tests/support/ThreadCreation.cpp with -Wl,--wrap=pthread_create: a test may
// install a creator to count the workers or to refuse to make one. The program itself calls
// pthread_create as any program does and knows nothing of this.
#ifndef KA_TESTS_THREADCREATION_H
#define KA_TESTS_THREADCREATION_H

#include <pthread.h>

namespace katest {

using ThreadCreateFunction = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*entry)(void*), void* argument);

// Installs the creator every later pthread_create of the linked program code goes to;
// nullptr restores the system's. Returns the creator installed before.
ThreadCreateFunction SetThreadCreateFunction(ThreadCreateFunction create);

// The system's pthread_create, for an installed creator that goes on to make the thread.
int CreateSystemThread(pthread_t* thread, const pthread_attr_t* attributes, void* (*entry)(void*),
                       void* argument);

// Installs a creator for the lifetime of the object.
class ThreadCreatorInstalled {
  public:
    explicit ThreadCreatorInstalled(ThreadCreateFunction create)
        : mPrevious(SetThreadCreateFunction(create)) {}
    ~ThreadCreatorInstalled() { SetThreadCreateFunction(mPrevious); }
    ThreadCreatorInstalled(const ThreadCreatorInstalled&) = delete;
    ThreadCreatorInstalled& operator=(const ThreadCreatorInstalled&) = delete;

  private:
    ThreadCreateFunction mPrevious;
};

}  // namespace katest

#endif
