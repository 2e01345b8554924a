// Scripted fake of the serial platform seam, with a virtual clock.
//
// Unit tests of the port layer, the frame layer and the transactions link it
// in place of the real platform. A test registers device names, queues the
// replies the "controller" gives to successive writes, and afterwards looks
// at what was written and which seam calls were made when.
//
// Time is virtual: it starts at 0 and moves only when the code under test
// sleeps (PlatSleep) or waits in a read for bytes that are scheduled later or
// for its time-out to run out. Nothing ever really waits.
//
// Reads follow the read time-out of the handle: a read delivers what has
// arrived, up to the count; when that is short it moves the clock on to the
// arrival of further scheduled bytes as long as they come before its
// deadline (the read time-out after the read began), else to the deadline,
// and returns what it has (true). With the time-out 0 it returns what has
// arrived at once. PlatNowMs reads the virtual clock (not recorded).
//
// There is one input stream, shared by every handle (tests use one port).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/serial_platform.h"

namespace fakeplat {

// No devices, clock 0, nothing queued or recorded, all handles closed, no
// failures pending, default initial line state and time-outs.
void Reset();

// A name PlatOpen accepts. "NUL" always opens, as the null device: writes
// succeed (and are recorded), reads return 0 bytes at once, line and
// time-out calls succeed. Any other device opens once at a time (exclusive).
void AddDevice(const std::string& name);
// A name that exists but is no character device (a file, a directory):
// PlatOpen refuses it with kOpenFaultNotCharDevice.
void AddNonDevice(const std::string& name);
// How devices opened from now on answer PlatRtsByDevice: true, a UART whose
// kernel driver switches RS-485 direction itself; false (the default), one
// that cannot. While a port's device switches RTS, SetRts calls succeed and
// do not reach the line (RtsSwitches() does not count them).
void SetRtsByDevice(bool bCan);
// RTS changes that reached the line of any port.
int RtsSwitches();

enum class Fail { Open, Close, GetLine, SetLine, GetReadTimeout, SetReadTimeout, GetQueues, Read, Write, SetRts };
// The next `count` calls of that kind fail (they are still recorded in
// Calls()).
void FailNext(Fail what, int count = 1);

// The next write takes only `taken` bytes (and succeeds).
void SetNextWriteShort(uint32_t taken);

// One piece of a reply: its bytes arrive delayMs after the write that
// triggers the reply.
struct Piece {
  std::string bytes;
  uint32_t delayMs;
};
// The reply to the next write not yet answered (first queued, first used).
void QueueReply(std::vector<Piece> pieces);
void QueueReply(const std::string& bytes, uint32_t delayMs = 0);
// The next write gets no reply. A write with no reply queued gets none too.
void QueueNoReply();
// Bytes waiting in the input queue now.
void InjectInput(const std::string& bytes);
// A controller that answers what it is asked: called with the bytes of each
// write that no queued reply answers, at that write's time; it schedules its
// answer with Schedule. An empty function (Reset) answers nothing.
using Responder = std::function<void(const std::string& written, uint64_t atMs)>;
void SetResponder(Responder responder);
// Bytes that arrive at atMs (not before the clock's now).
void Schedule(uint64_t atMs, const std::string& bytes);
// cbOutQue reported by successive GetQueues calls, then 0.
void SetOutQueueSequence(std::vector<uint32_t> counts);

// Line and read time-out a device has when it is opened (before the code
// under test changes them). Reset restores the defaults: the default
// PlatLine with 9600 baud, and 100 ms so that a caller that forgets to set
// the time-out is noticed.
void SetInitialLine(const sarn::PlatLine& line);
void SetInitialReadTimeout(uint32_t dwMs);
// What PlatDescribeFailure and PlatDescribeOpenFailure tell from now on
// (Reset: nothing).
void SetFailureText(const std::string& text);

// Virtual clock in milliseconds; PlatSleep and waiting reads advance it.
uint64_t NowMs();
// Moves the clock on by ms (a test's own passing of time).
void AdvanceMs(uint64_t ms);

// Bytes of every successful write, in order (a short write records the bytes
// it took; a failed write records nothing).
std::vector<std::string> Writes();

// One seam call. name: "Open", "Close", "GetLine", "SetLine",
// "GetReadTimeout", "SetReadTimeout", "GetQueues", "Read", "Write", "SetRts",
// "Sleep", "RtsByDevice". arg: Read the count asked, Write the count offered,
// SetRts 1 to raise and 0 to lower, Sleep the milliseconds, RtsByDevice 1
// when the device switches RTS (else 0), SetReadTimeout the milliseconds,
// SetLine the baud rate, else 0. PlatDescribeFailure is not recorded.
// text: Open the name asked for, else empty. atMs: the clock when the call
// began. Failed calls are recorded too, with ok = false.
struct Call {
  std::string name;
  uint64_t atMs;
  int64_t arg;
  std::string text = {};
  bool ok = true;
};
std::vector<Call> Calls();
int CountCalls(const std::string& name);

// The line last passed to PlatSetLine (also when that call failed).
sarn::PlatLine LastLine();
// Current read time-out of the handle opened last, in milliseconds.
uint32_t ReadTimeoutMs();
int OpenHandleCount();
// Bytes arrived or scheduled and not yet read.
size_t PendingInput();
// Bytes arrived by now and not yet read (what GetQueues reports as cbInQue).
size_t ArrivedInput();

}  // namespace fakeplat
