// Captures what the code under test writes to standard output and standard error.
#ifndef KA_TESTS_CAPTUREDOUTPUT_H
#define KA_TESTS_CAPTUREDOUTPUT_H

#include <gtest/gtest.h>

#include <iostream>
#include <string>

namespace katest {

struct Output {
    std::string out;
    std::string err;
};

class CapturedOutput {
  public:
    CapturedOutput() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    ~CapturedOutput() {
        if (!taken_) {
            Take();
        }
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    Output Take() {
        std::cout.flush();
        std::cerr.flush();
        taken_ = true;
        Output output;
        output.out = testing::internal::GetCapturedStdout();
        output.err = testing::internal::GetCapturedStderr();
        return output;
    }

  private:
    bool taken_ = false;
};

}  // namespace katest

#endif
