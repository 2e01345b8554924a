// Scripted fake of the serial platform seam; see fake_platform.h.
#include "support/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "platform/port_backend.h"

namespace fakeplat {
namespace {

struct Port {
  std::string name;
  bool bNull = false;
  bool bOpen = true;
  bool bRtsByDevice = false;
  sarn::PlatLine line;
  uint32_t dwReadTimeoutMs;
};

// Bytes of the input stream, each with its arrival time; kept in arrival
// order (stable for equal times).
struct Chunk {
  uint64_t atMs;
  std::string bytes;
};

constexpr uint32_t kDefaultReadTimeoutMs = 100;

struct State {
  std::set<std::string> devices;
  std::set<std::string> nonDevices;
  bool bCanRtsByDevice = false;
  int rtsSwitches = 0;
  uint64_t now = 0;
  std::map<int, Port> ports;  // by the seam's slot number
  int lastOpened = -1;
  std::map<Fail, int> failures;
  std::optional<uint32_t> nextWriteShort;
  std::deque<std::vector<Piece>> replies;
  std::deque<Chunk> input;
  std::deque<uint32_t> outQueue;
  std::vector<std::string> writes;
  std::vector<Call> calls;
  sarn::PlatLine lastLine;
  sarn::PlatLine initialLine;
  uint32_t initialReadTimeoutMs = kDefaultReadTimeoutMs;
  std::string failureText;
  Responder responder;
};

State& S() {
  static State s;
  return s;
}

sarn::PlatLine DefaultLine() {
  sarn::PlatLine line;
  line.dwBaudRate = 9600;
  return line;
}

void Record(const char* pszName, int64_t arg, std::string text = {}) {
  State& s = S();
  s.calls.push_back(Call{pszName, s.now, arg, std::move(text), true});
}

// Records the call and tells whether it is to fail by script.
bool Begin(const char* pszName, int64_t arg, Fail kind, std::string text = {}) {
  State& s = S();
  Record(pszName, arg, std::move(text));
  auto it = s.failures.find(kind);
  if (it != s.failures.end() && it->second > 0) {
    --it->second;
    s.calls.back().ok = false;
    return true;
  }
  return false;
}

bool Refuse() {
  S().calls.back().ok = false;
  return false;
}

// The seam's handle of slot number i.
SarnHandle HandleOfSlot(int i) {
#ifdef _WIN32
  return reinterpret_cast<SarnHandle>(static_cast<uintptr_t>(i + 1));
#else
  return static_cast<SarnHandle>(i + 1);
#endif
}

Port* Find(const sarn::PortSlot* pSlot) {
  State& s = S();
  auto it = s.ports.find(pSlot->iIndex);
  if (it == s.ports.end() || !it->second.bOpen) return nullptr;
  return &it->second;
}

}  // namespace

void SetResponder(Responder responder) {
  S().responder = std::move(responder);
}

void Schedule(uint64_t atMs, const std::string& bytes) {
  if (bytes.empty()) return;
  atMs = std::max(atMs, S().now);
  std::deque<Chunk>& in = S().input;
  auto pos = std::upper_bound(in.begin(), in.end(), atMs, [](uint64_t t, const Chunk& c) { return t < c.atMs; });
  in.insert(pos, Chunk{atMs, bytes});
}

namespace {

size_t ArrivedBy(uint64_t t) {
  size_t n = 0;
  for (const Chunk& c : S().input) {
    if (c.atMs > t) break;
    n += c.bytes.size();
  }
  return n;
}

// Moves up to `want` arrived bytes into pBuf; returns how many.
uint32_t Take(char* pBuf, uint32_t want) {
  State& s = S();
  uint32_t got = 0;
  while (got < want && !s.input.empty() && s.input.front().atMs <= s.now) {
    Chunk& c = s.input.front();
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(want - got, c.bytes.size()));
    memcpy(pBuf + got, c.bytes.data(), n);
    c.bytes.erase(0, n);
    got += n;
    if (c.bytes.empty()) s.input.pop_front();
  }
  return got;
}

}  // namespace

void Reset() {
  // The seam's slots outlive a test: ports left open are closed in it.
  std::vector<int> open;
  for (const auto& [i, port] : S().ports)
    if (port.bOpen) open.push_back(i);
  S().failures.clear();
  for (int i : open) sarn::PlatClose(HandleOfSlot(i));
  S() = State{};
  S().initialLine = DefaultLine();
  S().lastLine = DefaultLine();
}

void AddDevice(const std::string& name) {
  S().devices.insert(name);
}

void AddNonDevice(const std::string& name) {
  S().nonDevices.insert(name);
}

void SetRtsByDevice(bool bCan) {
  S().bCanRtsByDevice = bCan;
}

int RtsSwitches() {
  return S().rtsSwitches;
}

void FailNext(Fail what, int count) {
  S().failures[what] = count;
}

void SetNextWriteShort(uint32_t taken) {
  S().nextWriteShort = taken;
}

void QueueReply(std::vector<Piece> pieces) {
  S().replies.push_back(std::move(pieces));
}

void QueueReply(const std::string& bytes, uint32_t delayMs) {
  QueueReply(std::vector<Piece>{Piece{bytes, delayMs}});
}

void QueueNoReply() {
  S().replies.push_back({});
}

void InjectInput(const std::string& bytes) {
  Schedule(S().now, bytes);
}

void SetOutQueueSequence(std::vector<uint32_t> counts) {
  S().outQueue.assign(counts.begin(), counts.end());
}

void SetInitialLine(const sarn::PlatLine& line) {
  S().initialLine = line;
}

void SetFailureText(const std::string& text) {
  S().failureText = text;
}

uint64_t NowMs() {
  return S().now;
}

std::vector<std::string> Writes() {
  return S().writes;
}

std::vector<Call> Calls() {
  return S().calls;
}

int CountCalls(const std::string& name) {
  return static_cast<int>(
      std::count_if(S().calls.begin(), S().calls.end(), [&](const Call& c) { return c.name == name; }));
}

sarn::PlatLine LastLine() {
  return S().lastLine;
}

uint32_t ReadTimeoutMs() {
  auto it = S().ports.find(S().lastOpened);
  return it == S().ports.end() ? 0 : it->second.dwReadTimeoutMs;
}

int OpenHandleCount() {
  return static_cast<int>(
      std::count_if(S().ports.begin(), S().ports.end(), [](const auto& p) { return p.second.bOpen; }));
}

size_t PendingInput() {
  size_t n = 0;
  for (const Chunk& c : S().input) n += c.bytes.size();
  return n;
}

size_t ArrivedInput() {
  return ArrivedBy(S().now);
}

}  // namespace fakeplat

// ---------------------------------------------------------------- the seam
namespace sarn {

using fakeplat::Fail;
using fakeplat::S;

namespace {

bool FakeOpen(PortSlot* pSlot, const char* pszName, PlatOpenFault* pFault) {
  std::string name = pszName ? pszName : "";
  if (fakeplat::Begin("Open", 0, Fail::Open, name)) return false;
  fakeplat::State& s = S();
  bool bNull = name == "NUL";
  if (s.nonDevices.count(name)) {
    *pFault = kOpenFaultNotCharDevice;
    fakeplat::Refuse();
    return false;
  }
  if (!bNull) {
    if (!s.devices.count(name)) {
      s.calls.back().ok = false;
      return false;
    }
    for (const auto& [h, port] : s.ports) {
      if (port.bOpen && port.name == name) {
        s.calls.back().ok = false;
        return false;
      }
    }
  }
  s.ports[pSlot->iIndex] = fakeplat::Port{name, bNull, true, false, s.initialLine, s.initialReadTimeoutMs};
  s.lastOpened = pSlot->iIndex;
  return true;
}

bool FakeClose(PortSlot* pSlot) {
  if (fakeplat::Begin("Close", 0, Fail::Close)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p) return fakeplat::Refuse();
  p->bOpen = false;
  return true;
}

bool FakeGetLine(PortSlot* pSlot, PlatLine* pLine) {
  if (fakeplat::Begin("GetLine", 0, Fail::GetLine)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p || !pLine) return fakeplat::Refuse();
  *pLine = p->line;
  return true;
}

bool FakeSetLine(PortSlot* pSlot, const PlatLine& line) {
  const PlatLine* pLine = &line;
  if (pLine) S().lastLine = *pLine;
  if (fakeplat::Begin("SetLine", pLine ? pLine->dwBaudRate : 0, Fail::SetLine)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p || !pLine) return fakeplat::Refuse();
  p->line = *pLine;
  return true;
}

bool FakeGetReadTimeout(PortSlot* pSlot, uint32_t* pdwMs) {
  if (fakeplat::Begin("GetReadTimeout", 0, Fail::GetReadTimeout)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p || !pdwMs) return fakeplat::Refuse();
  *pdwMs = p->dwReadTimeoutMs;
  return true;
}

bool FakeSetReadTimeout(PortSlot* pSlot, uint32_t dwMs) {
  if (fakeplat::Begin("SetReadTimeout", dwMs, Fail::SetReadTimeout)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p) return fakeplat::Refuse();
  p->dwReadTimeoutMs = dwMs;
  return true;
}

bool FakeGetQueues(PortSlot* pSlot, PlatQueues* pQueues) {
  if (fakeplat::Begin("GetQueues", 0, Fail::GetQueues)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p) return fakeplat::Refuse();
  fakeplat::State& s = S();
  PlatQueues queues;
  if (!p->bNull) queues.cbInQue = static_cast<uint32_t>(fakeplat::ArrivedBy(s.now));
  if (!s.outQueue.empty()) {
    queues.cbOutQue = s.outQueue.front();
    s.outQueue.pop_front();
  }
  if (pQueues) *pQueues = queues;
  return true;
}

bool FakeRead(PortSlot* pSlot, char* pBuf, uint32_t dwCount, uint32_t* pRead) {
  if (pRead) *pRead = 0;
  if (fakeplat::Begin("Read", dwCount, Fail::Read)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p || (!pBuf && dwCount)) return fakeplat::Refuse();
  if (p->bNull || dwCount == 0) return true;

  fakeplat::State& s = S();
  char* pOut = static_cast<char*>(pBuf);
  // A time-out of 0 takes what has arrived: the deadline is now.
  const uint64_t deadline = s.now + p->dwReadTimeoutMs;

  uint32_t got = fakeplat::Take(pOut, dwCount);
  while (got < dwCount) {
    if (s.input.empty()) {
      // Nothing more will come: the read waits out its time-out.
      s.now = std::max(s.now, deadline);
      break;
    }
    uint64_t next = s.input.front().atMs;
    if (next > deadline) {
      s.now = std::max(s.now, deadline);
      break;
    }
    s.now = std::max(s.now, next);
    got += fakeplat::Take(pOut + got, dwCount - got);
  }
  if (pRead) *pRead = got;
  return true;
}

bool FakeWrite(PortSlot* pSlot, const char* pBuf, uint32_t dwCount, uint32_t* pWritten) {
  if (fakeplat::Begin("Write", dwCount, Fail::Write)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p || (!pBuf && dwCount)) return fakeplat::Refuse();
  fakeplat::State& s = S();
  uint32_t taken = dwCount;
  if (s.nextWriteShort) {
    taken = std::min(taken, *s.nextWriteShort);
    s.nextWriteShort.reset();
  }
  s.writes.emplace_back(static_cast<const char*>(pBuf), taken);
  if (pWritten) *pWritten = taken;
  if (!p->bNull && !s.replies.empty()) {
    for (const fakeplat::Piece& piece : s.replies.front()) fakeplat::Schedule(s.now + piece.delayMs, piece.bytes);
    s.replies.pop_front();
  } else if (!p->bNull && s.responder) {
    s.responder(s.writes.back(), s.now);
  }
  return true;
}

bool FakeSetRts(PortSlot* pSlot, bool bRaised) {
  if (fakeplat::Begin("SetRts", bRaised ? 1 : 0, Fail::SetRts)) return false;
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p) return fakeplat::Refuse();
  if (!p->bRtsByDevice) ++S().rtsSwitches;
  return true;
}

bool FakeRtsByDevice(PortSlot* pSlot) {
  fakeplat::Record("RtsByDevice", 0);
  fakeplat::Port* p = fakeplat::Find(pSlot);
  if (!p) return fakeplat::Refuse();
  p->bRtsByDevice = p->bRtsByDevice || (!p->bNull && S().bCanRtsByDevice);
  S().calls.back().arg = p->bRtsByDevice ? 1 : 0;
  return p->bRtsByDevice;
}

size_t FakeDescribeFailure(const PortSlot*, char* pszText, size_t size) {
  const std::string& text = S().failureText;
  const size_t n = std::min(text.size(), size - 1);
  memcpy(pszText, text.data(), n);
  pszText[n] = '\0';
  return n;
}

const PortBackend kFakePort = {
    "fake",        FakeOpen, FakeClose, FakeGetLine, FakeSetLine,     FakeGetReadTimeout,  FakeSetReadTimeout,
    FakeGetQueues, FakeRead, FakeWrite, FakeSetRts,  FakeRtsByDevice, FakeDescribeFailure,
};

}  // namespace

const PortBackend* ChoosePortBackend(const char*) {
  return &kFakePort;
}

void PlatSleep(uint32_t dwMilliseconds) {
  fakeplat::Record("Sleep", dwMilliseconds);
  S().now += dwMilliseconds;
}

uint64_t PlatNowMs() {
  return S().now;
}

void NoteOpenFailure(const char*, const char*, const char*, int) {}

size_t DescribeOpenFailure(const char*, char* pszText, size_t size) {
  if (size == 0) return 0;
  return FakeDescribeFailure(nullptr, pszText, size);
}

}  // namespace sarn
