#include "support/chaos_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {
namespace {

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

}  // namespace

ChaosLine::ChaosLine(const std::string& controllerPath, uint32_t seed) : rng_(seed) {
  driverMaster_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char name[128];
  if (driverMaster_ < 0 || grantpt(driverMaster_) != 0 || unlockpt(driverMaster_) != 0 ||
      ptsname_r(driverMaster_, name, sizeof name) != 0) {
    return;
  }
  driverSlave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  controller_ = open(controllerPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  int wake[2];
  if (driverSlave_ < 0 || controller_ < 0 || !MakeRaw(driverSlave_) || !MakeRaw(controller_) ||
      pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return;
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  driverPath_ = name;
  thread_ = std::thread(&ChaosLine::Relay, this);
}

ChaosLine::~ChaosLine() {
  stop_ = true;
  if (wakeWrite_ >= 0) (void)!write(wakeWrite_, "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {driverMaster_, driverSlave_, controller_, wakeRead_, wakeWrite_}) {
    if (fd >= 0) close(fd);
  }
}

void ChaosLine::SetOptions(const ChaosOptions& options) {
  const std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
}

ChaosCounts ChaosLine::Counts() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

bool ChaosLine::Chance(int pct) {
  return pct > 0 && static_cast<int>(rng_() % 100) < pct;
}

void ChaosLine::Relay() {
  char buf[1024];
  while (!stop_) {
    // A controller that went away is no longer listened to.
    pollfd fds[3] = {
        {driverMaster_, POLLIN, 0}, {controllerGone_ ? -1 : controller_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    poll(fds, 3, NextWaitMs(NowMs()));
    if (fds[1].revents & (POLLHUP | POLLERR)) controllerGone_ = true;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(driverMaster_, buf, sizeof buf);
      if (n > 0) FromDriver(buf, static_cast<size_t>(n));
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t n = read(controller_, buf, sizeof buf);
      if (n > 0) FromController(buf, static_cast<size_t>(n));
    }
    Deliver(NowMs());
  }
}

// Requests go to the controller at once; the adapter's echo of them comes
// back to the driver at once too, in the pieces they came in.
void ChaosLine::FromDriver(const char* data, size_t len) {
  bool bEcho;
  bool bEchoFault = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    bEcho = options_.bEcho;
    if (memchr(data, ':', len) != nullptr) ++counts_.nRequests;
    if (memchr(data, ':', len) != nullptr && (len != nLast_ || memcmp(data, last_, len) != 0)) NewRequest(data, len);
    if (bEcho && memchr(data, ':', len) != nullptr) {
      bEchoFault = Chance(options_.iEchoFaultPct);
      if (bEchoFault) ++counts_.nEchoFaults;
    }
  }
  if (!ControllerBusy()) {
    WriteAll(controller_, data, len);
  } else if (nHeld_ + len <= sizeof held_) {  // more than a controller buffers is lost
    memcpy(held_ + nHeld_, data, len);
    nHeld_ += len;
  }
  if (!bEcho) return;
  if (!bEchoFault) {
    WriteAll(driverMaster_, data, len);
  } else if (rng_() % 2 == 0) {
    char garbled[1024];
    memcpy(garbled, data, len);
    garbled[len / 2] = garbled[len / 2] == 'Z' ? 'Y' : 'Z';
    WriteAll(driverMaster_, garbled, len);
  }
}

void ChaosLine::FromController(const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (data[i] == ':') partial_.len = 0;
    if (partial_.len < sizeof partial_.text) partial_.text[partial_.len++] = data[i];
    if (data[i] == '\n' && partial_.len > 0) {
      FrameFromController(partial_);
      partial_.len = 0;
    }
  }
}

// Decides a reply's fate. A late reply holds back those after it: a wire
// keeps its order.
void ChaosLine::FrameFromController(Frame frame) {
  const uint64_t nowMs = NowMs();
  frame.dueMs = nowMs;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.nReplies;
    if (Chance(options_.iDropPct)) {
      ++counts_.nDropped;
      return;
    }
    if (Chance(options_.iGarblePct)) {
      ++counts_.nGarbled;
      const size_t at = 1 + rng_() % (frame.len - 1);
      frame.text[at] = frame.text[at] == '7' ? '8' : '7';
    }
    if (Chance(options_.iDelayPct) && options_.uMaxDelayMs > 0) {
      ++counts_.nDelayed;
      frame.dueMs = nowMs + rng_() % (options_.uMaxDelayMs + 1);
    }
    DrawSlow(frame, nowMs);
  }
  if (nPending_ > 0 && pending_[nPending_ - 1].dueMs > frame.dueMs) frame.dueMs = pending_[nPending_ - 1].dueMs;
  if (nPending_ == kPending) return;  // more replies held back than a line could hold: lost
  pending_[nPending_++] = frame;
  Deliver(nowMs);
}

// Called with the lock held, for a request that is not a retry of the one
// before: a slow spell starts only there. Its replies are the next ones.
void ChaosLine::NewRequest(const char* data, size_t len) {
  nLast_ = len < sizeof last_ ? len : sizeof last_;
  memcpy(last_, data, nLast_);
  if (nSpellLeft_ > 0 || !Chance(options_.iSlowPct) || options_.uSlowMaxMs < options_.uSlowMinMs) return;
  nSpellLeft_ = 1 + static_cast<int>(rng_() % static_cast<uint32_t>(options_.iSlowSpell > 1 ? options_.iSlowSpell : 1));
  uSpellMs_ = options_.uSlowMinMs + rng_() % (options_.uSlowMaxMs - options_.uSlowMinMs + 1);
  bSpellBusy_ = Chance(options_.iSlowBusyPct);
}

// Called with the lock held. The controller answers at once, so the
// reply's time is its request's.
void ChaosLine::DrawSlow(Frame& frame, uint64_t nowMs) {
  if (nSpellLeft_ == 0) return;
  --nSpellLeft_;
  ++counts_.nSlow;
  frame.dueMs = nowMs + uSpellMs_;
  frame.bBusy = bSpellBusy_;
  counts_.nSlowBusy += frame.bBusy;
}

bool ChaosLine::ControllerBusy() const {
  for (int i = 0; i < nPending_; ++i) {
    if (pending_[i].bBusy) return true;
  }
  return false;
}

void ChaosLine::Deliver(uint64_t nowMs) {
  int nDone = 0;
  while (nDone < nPending_ && pending_[nDone].dueMs <= nowMs) {
    WriteAll(driverMaster_, pending_[nDone].text, pending_[nDone].len);
    ++nDone;
  }
  if (nDone == 0) return;
  for (int i = nDone; i < nPending_; ++i) pending_[i - nDone] = pending_[i];
  nPending_ -= nDone;
  // The answer is out: the requests that waited for it reach the controller.
  if (nHeld_ > 0 && !ControllerBusy()) {
    WriteAll(controller_, held_, nHeld_);
    nHeld_ = 0;
  }
}

int ChaosLine::NextWaitMs(uint64_t nowMs) const {
  if (nPending_ == 0) return 100;
  return pending_[0].dueMs <= nowMs ? 0 : static_cast<int>(pending_[0].dueMs - nowMs);
}

}  // namespace testsupport
