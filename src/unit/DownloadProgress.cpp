#include "DownloadProgress.h"

#include "DiagnosticLines.h"

#include <iostream>

namespace {

// Erase marks: the Xilinx image is shown from 40 to 60, the MCORE image from 80 to 100.
constexpr UInt32 kXilinxEraseBase = 40;
constexpr UInt32 kMcoreEraseBase = 80;
constexpr UInt32 kProgrammingAdvance = 20;

}  // namespace

DownloadProgress gDownloadProgress;

DownloadProgress::DownloadProgress() {
    Reset();
}

DownloadProgress::~DownloadProgress() {}

void DownloadProgress::Reset() {
    _progressBase = 0;
    _toAdvance = 0;
    _progress.store(0, std::memory_order_relaxed);
    SetPhase(kDownloadPreparing);
}

UInt32 DownloadProgress::Get() {
    return _progress.load(std::memory_order_relaxed);
}

void DownloadProgress::SetDeviceType(DL_DEVICE_TYPE type) {
    _devType = type;
    SetPhase(kDownloadPreparing);
}

void DownloadProgress::SetPhase(DownloadPhase phase) {
    _phase.store((static_cast<UInt32>(_devType) << 16) | phase, std::memory_order_relaxed);
}

void DownloadProgress::GetPhase(DL_DEVICE_TYPE& type, DownloadPhase& phase) const {
    const UInt32 word = _phase.load(std::memory_order_relaxed);
    type = static_cast<DL_DEVICE_TYPE>(word >> 16);
    phase = static_cast<DownloadPhase>(word & 0xFFFF);
}

void DownloadProgress::SetErase() {
    UInt32 base = 0;
    switch (_devType) {
        case Xilinx:
            base = kXilinxEraseBase;
            break;
        case MCORE:
            base = kMcoreEraseBase;
            break;
        default:
            std::cerr << kInvalidDeviceTypeLine;
            return;
    }
    _progressBase = base;
    _toAdvance = 0;
    _progress.store(base, std::memory_order_relaxed);
    SetPhase(kDownloadErasing);
}

void DownloadProgress::SetPgm() {
    switch (_devType) {
        case Xilinx:
        case MCORE:
            _toAdvance = kProgrammingAdvance;
            SetPhase(kDownloadProgramming);
            break;
        default:
            std::cerr << kInvalidDeviceTypeLine;
            break;
    }
}

void DownloadProgress::Update(float fraction) {
    // A fraction outside 0..1 (or not a number) would move the bar outside its phase, and a
    // negative value has no unsigned result.
    if (!(fraction >= 0.0f)) {
        fraction = 0.0f;
    } else if (fraction > 1.0f) {
        fraction = 1.0f;
    }
    const float base = static_cast<float>(_progressBase);
    const float advance = static_cast<float>(_toAdvance);
    const float value = base + advance * fraction;
    _progress.store(static_cast<UInt32>(value), std::memory_order_relaxed);
}
