// What the benchmarks share: silencing the controller's per-pass lines, timing, percentiles.
#ifndef KA_BENCH_BENCHSUPPORT_H
#define KA_BENCH_BENCHSUPPORT_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <streambuf>
#include <vector>

namespace kabench {

// A buffer that takes every character and keeps none.
class NullBuffer final : public std::streambuf {
  protected:
    int_type overflow(int_type character) override { return traits_type::not_eof(character); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// The controller writes a few lines on every pass; written to a terminal or a file they
// would be timed along with it. Standard output and error go nowhere while this lives. The
// benchmark library reports only after a benchmark function returns, so nothing of it is lost.
class QuietStandardStreams {
  public:
    QuietStandardStreams()
        : savedOut_(std::cout.rdbuf(&null_)), savedErr_(std::cerr.rdbuf(&null_)) {}
    ~QuietStandardStreams() {
        std::cout.rdbuf(savedOut_);
        std::cerr.rdbuf(savedErr_);
    }
    QuietStandardStreams(const QuietStandardStreams&) = delete;
    QuietStandardStreams& operator=(const QuietStandardStreams&) = delete;

  private:
    NullBuffer null_;
    std::streambuf* savedOut_;
    std::streambuf* savedErr_;
};

using Clock = std::chrono::steady_clock;

inline double MicrosecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::micro>(end - start).count();
}

// Nearest-rank percentile (0 < fraction <= 1) of the samples; 0 when there are none.
inline double Percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * samples.size()));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

inline double Median(std::vector<double> samples) {
    return Percentile(std::move(samples), 0.5);
}

}  // namespace kabench

#endif
