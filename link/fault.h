// What can go wrong in a transaction: one vocabulary for every layer. The
// frame layer reports what it saw on the line, the transactions add what
// they refuse and decide; what a host sees of it (0, 1 or 2) is decided in
// one place, HostResult in transact/. The faults of the transactions and of
// the driver (a request refused unsent, a stopped module, a reply's data the
// gate cannot take) live here beside the frame layer's, so that every layer
// above the port speaks this one type and HostResult maps all of it; the
// port layer's own results are PortResult (link/port.h).
#pragma once

#include <cstdint>

namespace sarn {

enum class Fault : uint8_t {
  kNone,  // a reply that passed every check

  kRefusedUnsent,   // the request could not be formed: nothing was sent
  kStopped,         // the module was stopped by EndSarn: nothing was sent
  kNotSent,         // the request did not go out whole, or its own echo was missing or different
  kLineDoubtful,    // a bit update's register read that a stray frame may have answered: nothing written
  kMaskNotWritten,  // a GTC mask write failed, whatever failed it: the bit gate's write is refused

  // No usable reply.
  kNoReply,       // nothing, or too little of a reply's head, within the time-out
  kNoFrameStart,  // a reply head without its ':'
  kBrokenOff,     // a reply that stopped coming part-way
  kNoData,        // a read reply that announced no data
  kEarlyFrame,    // only frames that began before any answer could have

  // A reply that belongs to another request (another controller, function,
  // length or echo): a late answer, or another master's.
  kOtherController,
  kOtherFunction,
  kUnmeasurable,  // a byte count that is no number
  kCutShort,      // a part shorter than its head announced
  kOtherByteCount,
  kOtherEcho,

  // The controller's exception reply; its code comes with it.
  kExceptionRefused,        // 2, 3 or 5: illegal address, illegal value, acknowledge
  kExceptionDeviceFailure,  // 4: failure in the associated device
  kException,               // 1, 6, 7, 8 or another code

  // A complete reply that failed a check.
  kNoTermination,  // no CR LF at its end
  kLrc,
  kBadData,  // too few data characters for the gate, or characters that are no digits
};

// Whether the reply belonged to another request: such replies are retried on
// a budget of their own, not on the send attempts.
inline bool IsOtherRequest(Fault fault) {
  return fault >= Fault::kOtherController && fault <= Fault::kOtherEcho;
}

}  // namespace sarn
