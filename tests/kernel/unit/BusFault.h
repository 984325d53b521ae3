// Faults only a bus has, as the unit in the virtual machine plays them: the ack or response
// a request gets instead of the register model's answer, or a bus reset around it.
#ifndef KA_TESTS_KERNEL_BUSFAULT_H
#define KA_TESTS_KERNEL_BUSFAULT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kaunit {

enum class BusFaultKind {
    Busy,            // a busy ack; the unit never saw the request
    NoResponse,      // an ack pending whose response never comes
    AckDataError,    // the packet arrived damaged
    RcodeDataError,  // a response with rcode data error; the unit did nothing
    ResetPending,    // an ack pending, then a bus reset; no response
    ResetFlush,      // a bus reset while the request still waits to go: flushed
};

// Which requests a fault counts: writes to the data window, the CRC register, reads of the
// status register, or every request to the unit's registers (the ROM is never hit).
enum class BusFaultTarget { Block, Crc, Status, Any };

struct BusFault {
    BusFaultKind kind = BusFaultKind::Busy;
    BusFaultTarget target = BusFaultTarget::Any;
    unsigned first = 1;  // the first matching request hit, counted from 1
    unsigned times = 1;  // matching requests hit from it on; 0: every one
    unsigned seen = 0;   // matching requests so far
};

// "KIND[:TARGET[:FIRST[:TIMES]]]", e.g. "busy:block:10:3"; "silent" is
// "no-response:any:1:0", a unit that acks everything and answers nothing.
std::optional<BusFault> ParseBusFault(std::string_view text);
std::string_view BusFaultKindName(BusFaultKind kind);

// Whether the request counts for the target, and if so whether this one is hit.
bool Matches(BusFaultTarget target, unsigned transactionCode, std::uint64_t offset);
bool CountAndHit(BusFault& fault);

}  // namespace kaunit

#endif
