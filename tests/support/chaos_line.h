// A misbehaving line between the driver and a simulated controller.
//
// The driver opens one pseudo-terminal; the line relays its requests to the
// controller's pseudo-terminal and the controller's replies back, and on the
// way does what real lines do: a two-wire RS-485 adapter echoes every request
// to its sender (sometimes garbled or not at all), a radio modem or a
// buffering converter delivers a reply late, noise garbles one, and some are
// lost. Replies stay in their order, as on a wire.
//
// A slow controller has spells in which it answers later than a driver
// waits, each reply of a spell equally late; in some spells it takes no other
// request while it works on one, so a retry sent meanwhile reaches it only
// once that answer is out (one request at a time), in the others it goes on
// taking requests while the late answers are on their way. A spell starts
// with a new request, never with a retry: a driver can only size its wait
// for the answers in flight from the pace it saw, so the controller keeps its
// pace through a transaction's attempts.
//
// Nothing is allocated once the line runs: frames live in fixed buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace testsupport {

struct ChaosOptions {
  bool bEcho = false;        // the adapter echoes every request to its sender
  int iEchoFaultPct = 0;     // of those echoes: lost or garbled
  int iDelayPct = 0;         // replies delivered late, by up to uMaxDelayMs
  uint32_t uMaxDelayMs = 0;  //
  int iDropPct = 0;          // replies lost
  int iGarblePct = 0;        // replies with one character changed
  int iSlowPct = 0;          // new requests that start a slow spell of 1..iSlowSpell replies
  int iSlowSpell = 1;        //
  uint32_t uSlowMinMs = 0;   // each reply of a spell this long after its request, drawn per spell
  uint32_t uSlowMaxMs = 0;   //
  int iSlowBusyPct = 0;      // spells in which requests that come meanwhile wait for the answer
};

// What the line did, counted since it started.
struct ChaosCounts {
  long nRequests = 0;
  long nReplies = 0;
  long nDelayed = 0;
  long nDropped = 0;
  long nGarbled = 0;
  long nEchoFaults = 0;
  long nSlow = 0;
  long nSlowBusy = 0;
};

class ChaosLine {
 public:
  // Relays between a new pseudo-terminal and the controller's at
  // controllerPath. DriverPath() is empty when the line could not be set up.
  ChaosLine(const std::string& controllerPath, uint32_t seed);
  ~ChaosLine();
  ChaosLine(const ChaosLine&) = delete;
  ChaosLine& operator=(const ChaosLine&) = delete;

  // The pseudo-terminal the driver opens.
  const std::string& DriverPath() const { return driverPath_; }
  void SetOptions(const ChaosOptions& options);
  ChaosCounts Counts() const;

 private:
  struct Frame {
    char text[640];
    size_t len = 0;
    uint64_t dueMs = 0;
    bool bBusy = false;  // the controller takes no request until it is out
  };
  static constexpr int kPending = 64;

  void Relay();
  void FromDriver(const char* data, size_t len);
  void FromController(const char* data, size_t len);
  void FrameFromController(Frame frame);
  void Deliver(uint64_t nowMs);
  int NextWaitMs(uint64_t nowMs) const;
  bool ControllerBusy() const;
  void NewRequest(const char* data, size_t len);
  void DrawSlow(Frame& frame, uint64_t nowMs);
  bool Chance(int pct);

  int driverMaster_ = -1;
  int driverSlave_ = -1;  // kept open: the master never sees a hang-up
  int controller_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::string driverPath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  ChaosOptions options_;
  ChaosCounts counts_;
  std::mt19937 rng_;

  // Only the relay thread touches these.
  Frame partial_;            // a reply frame being assembled
  Frame pending_[kPending];  // replies waiting for their time, oldest first
  int nPending_ = 0;
  bool controllerGone_ = false;
  char held_[2048];  // requests that came while the controller was busy
  size_t nHeld_ = 0;
  int nSpellLeft_ = 0;  // replies left in the slow spell, its delay and whether it is busy
  uint32_t uSpellMs_ = 0;
  bool bSpellBusy_ = false;
  char last_[640];  // the last request, to tell a retry from a new one
  size_t nLast_ = 0;
};

}  // namespace testsupport
