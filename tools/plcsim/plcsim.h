// plcsim: a Modbus ASCII controller (slave) simulator for testing the driver
// over a pseudo-terminal or a real serial line.
//
// One serving thread reads the line, assembles request frames from ':' to LF,
// and answers those addressed to one of its controller addresses: read coils,
// inputs, holding and input registers (functions 1 to 4), write a coil or a
// register (5, 6), write several coils or registers (15, 16), or, in the GTC
// variant, the GTC bit reads (2), register area reads (4) and set/reset masks
// (15). Frames with a bad LRC, malformed frames and frames for other
// controller addresses get no reply, as on a real multi-drop line.
//
// Faults can be injected into the replies to test the driver's error handling.
// A fault (queued or persistent) is consumed by each request that the
// simulator would answer: a well-formed frame with a good LRC for one of its
// addresses. A request answered with an injected Exception fault is not
// carried out; with any other fault a write request still takes effect (the
// reply is what gets lost or damaged, as on a real line).
//
// Faults on demand (Options: silentPercent, lrcErrorPercent, garblePercent,
// exceptions, echo, replyDelayMs) play a misbehaving line or controller for a
// whole session; they apply to requests that no queued or persistent fault
// has claimed. Late and doubled answers (lateSomePercent, duplicatePercent)
// are drawn for every answer that is sent.
//
// A late reply (replyDelayMs, or a Delay fault) comes in one of two ways. By
// default the controller is slow: it works on one request at a time, so a
// request that comes while it works on another waits for that one's answer
// and then takes its own time (the serving thread sleeps). With lateEachOwn
// every answer comes that long after its own request, also while earlier
// answers are still on their way, as from a converter or radio link that
// holds replies back.
//
// Over TCP (Listen) the simulator plays a controller with an Ethernet port
// that speaks Modbus ASCII: one connection at a time, its bytes taken as the
// line's, with every fault and timing option as on a line. When the client
// disconnects, what was pending for it is dropped and the next connection is
// accepted.
//
// Line time (lineTimeBaud): a pseudo-terminal carries a whole frame at once,
// a serial line one character after another. With lineTimeBaud set the
// simulator keeps the line's time both ways: a request is heard only when its
// last character could have arrived (each character one character time after
// the one before, from the time its first was read), and replies and echoed
// characters go out one at a time at the line's rate. Everything the
// controller sends, replies, copies, held replies and echo, shares one
// output in order, so nothing it sends overlaps on the line.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace plcsim {

enum class FaultKind {
  None,           // answer normally
  NoReply,        // say nothing
  Delay,          // answer after arg milliseconds
  OtherAddress,   // answer with controller address arg
  OtherFunction,  // answer with function code arg
  Exception,      // exception reply with code arg
  BadLrc,         // LRC off by one
  NoCrLf,         // replace CR LF by two other characters ("??")
  Truncate,       // send only the first arg characters of the reply
  Garbage,        // arg garbage characters ("#") before the colon
  Noise,          // one character of the reply replaced by one that is not a hex digit
};
struct Fault {
  FaultKind kind = FaultKind::None;
  int arg = 0;
};

// Largest quantities of one request, as in the Modbus application protocol.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteRegisters = 123;
// Longest request frame accepted, from ':' through LF; longer ones are dropped.
constexpr size_t kMaxFrame = 600;
// GTC: bits 1..kGtcBits; function 15 masks reach bits kGtcFirstVariable..kGtcLastVariable.
constexpr int kGtcBits = 1000;
constexpr int kGtcFirstVariable = 161;
constexpr int kGtcLastVariable = 472;
constexpr int kGtcAreaSize[3] = {64, 42, 64};

// An exception the controller answers to every request that touches one
// reference: table as mbpoll names it (0 coils, 1 discrete inputs, 3 input
// registers, 4 holding registers), reference counted from 1 (gate address
// 0140011 is table 4, reference 11). Table -1 matches every request. In the
// GTC variant table 1 is the bits read by function 2, table 3 the register
// areas (reference = area 1..3), table 0 the bits set or reset by function 15.
struct ExceptionRule {
  int table = -1;
  int reference = 0;
  uint8_t code = 4;
};
// Reads "TABLE:REF=CODE" (e.g. "4:11=2") or "*=CODE"; CODE 1..255. False on
// anything else.
bool ParseExceptionRule(const std::string& text, ExceptionRule& out);

struct Options {
  std::vector<int> addresses{1};  // controller addresses it answers
  bool gtc = false;               // GTC variant instead of plain Modbus
  uint16_t tableSize = 10000;     // coils, inputs, holding and input registers: addresses 0..tableSize-1
  uint32_t paceBaud = 0;          // when non-zero, reply characters are paced at this baud rate (10 bits/char)
  uint32_t replyDelayMs = 0;      // every reply this late (plcsim --late / --delay)
  bool lateEachOwn = false;       // late replies counted from each one's own request (plcsim --late-each)
  // Additions to the basic set:
  uint32_t deviceBaud = 9600;  // line speed OpenDevice sets (raw 8N1)
  bool verbose = false;        // print each request and its reply to stderr
  // Faults on demand. Percentages 0..100 are drawn per answered request, in
  // this order: silent (no reply), an exception rule, LRC error, garble.
  int silentPercent = 0;                  // say nothing
  int lrcErrorPercent = 0;                // reply with its LRC off by one
  int garblePercent = 0;                  // one character of the reply replaced by line noise (not a hex digit)
  std::vector<ExceptionRule> exceptions;  // the first rule that matches answers
  bool echo = false;  // every byte received is sent straight back, as a two-wire RS-485 adapter hears itself
  uint32_t seed = 1;  // of the draws for the percentages
  // Line time: when lineTimeBaud is non-zero, requests are heard and replies
  // and echo sent at that speed with bitsPerChar bits a character (11 for
  // 7E2: start, 7 data, parity, 2 stop); paceBaud is then not used.
  uint32_t lineTimeBaud = 0;
  int bitsPerChar = 11;
  // Drawn for every answer that is sent, after the faults above: first late
  // (held lateSomeMinMs..lateSomeMaxMs from its own request, while later
  // requests are answered as usual; added to replyDelayMs), then twice (the
  // copy duplicateDelayMinMs..duplicateDelayMaxMs after the first ended, right
  // behind it for 0). A delay is drawn evenly from the range; a maximum below
  // the minimum counts as the minimum.
  int lateSomePercent = 0;
  uint32_t lateSomeMinMs = 0;
  uint32_t lateSomeMaxMs = 0;
  int duplicatePercent = 0;
  uint32_t duplicateDelayMinMs = 0;
  uint32_t duplicateDelayMaxMs = 0;
};

// Builds a complete frame from the hexadecimal body (address onwards, without
// LRC): ':' + body + LRC + CR LF. The LRC is computed over the body's bytes.
std::string MakeFrame(const std::string& body);
// Whether Listen serves this host: an IPv4 loopback address (127.x.x.x) or
// "localhost".
bool LoopbackHost(const std::string& host);
// Whether OpenDevice can set this line speed.
bool SupportedBaud(uint32_t baud);
// The Modbus ASCII LRC of a hexadecimal text (two's complement of the byte
// sum); 0 when the text is not an even number of hex digits.
uint8_t Lrc(const std::string& hexBody);

class Simulator {
 public:
  explicit Simulator(Options options = {});
  ~Simulator();  // stops serving, closes everything
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates a pseudo-terminal, serves its master; returns the path a driver
  // opens ("" on failure). Stops any earlier serving first.
  std::string OpenPty();
  // Serves a named serial device instead (raw 8N1 at Options::deviceBaud).
  // Stops any earlier serving first.
  bool OpenDevice(const std::string& path);
  // Serves TCP connections on a loopback address (127.x.x.x or "localhost")
  // instead, one at a time; port 0 takes a free port. Returns the port
  // listened on, or -1 (errno set; EADDRNOTAVAIL for any other address).
  // Stops any earlier serving first.
  int Listen(const std::string& host, uint16_t port);
  // Stops the serving thread and closes the line. Tables, faults and recorded
  // requests are kept. Safe to call repeatedly.
  void Stop();

  // Tables (Modbus numbering: 0-based addresses as on the wire). Thread-safe.
  // Addresses outside the tables are ignored by the setters and read as 0.
  void SetCoil(uint16_t addr, bool v);
  bool Coil(uint16_t addr) const;
  void SetInput(uint16_t addr, bool v);
  bool Input(uint16_t addr) const;
  void SetHolding(uint16_t addr, uint16_t v);
  uint16_t Holding(uint16_t addr) const;
  void SetInputReg(uint16_t addr, uint16_t v);
  uint16_t InputReg(uint16_t addr) const;
  // GTC: bits 1..1000 in the controller's own numbering (161..472 are the settable variables 200..511),
  // register areas 1..3 of 64, 42 and 64 values (index 0-based within the area).
  void SetGtcBit(uint16_t nr, bool v);
  bool GtcBit(uint16_t nr) const;
  void SetGtcRegister(int area, uint16_t index, uint16_t v);
  uint16_t GtcRegister(int area, uint16_t index) const;

  // Fills every table with a recognisable pattern, by gate address k (counted
  // from 1, table index k - 1, so that gate 0140011 reads 11): holding
  // register k = k, input register k = 1000 + k, coil k = (k % 3 == 0),
  // input k = (k % 2 == 0); GTC bit n = (n % 2 == 0), GTC register i of area
  // a = a * 1000 + i (the controller's own numbering, i from 0).
  void FillPattern();

  // Faults: queued ones apply to the next requests in order, one each; the persistent one to every request
  // while no queued fault is pending. ClearFaults() removes both.
  void QueueFault(Fault f);
  void SetPersistentFault(Fault f);
  void ClearFaults();

  // Requests received, as complete frames from ':' through CR LF, in order.
  // Every complete frame is recorded, also those that get no reply.
  std::vector<std::string> Requests() const;
  size_t RequestCount() const;
  void ClearRequests();
  // Waits until at least n requests have been recorded; false on time-out.
  bool WaitForRequests(size_t n, int timeoutMs) const;
  // Copies sent by duplicatePercent and answers sent late by lateSomePercent,
  // each counted as it goes out (in line time: as it is put on the line).
  size_t DuplicatesSent() const;
  size_t LateSomeSent() const;

 private:
  using Clock = std::chrono::steady_clock;
  // What a held reply is, for the counters.
  enum class Sent { Answer, LateSome, Duplicate };
  struct HeldReply {
    Clock::time_point due;
    std::string text;
    Sent what = Sent::Answer;
    int duplicateMs = -1;  // when >= 0, a copy follows this long after the reply ended
  };
  struct HeardFrame {
    Clock::time_point at;  // when its last character could have arrived
    std::string frame;
  };
  struct LineChar {
    Clock::time_point at;  // when the character has gone over the line
    char c;
  };

  bool StartServing(int fd, int keepFd);
  void Serve();
  // TCP: takes the next connection, or drops the current one and what was
  // pending for it.
  void Accept();
  void Disconnect();
  // Drops replies, frames and characters meant for the current peer.
  void ForgetPending();
  bool LineTime() const { return options_.lineTimeBaud != 0; }
  // Takes characters read from the line: echo, frame assembly, and in line
  // time the times the characters would have taken.
  void Receive(const char* data, size_t len);
  void Assemble(char c, Clock::time_point heard);
  void HandleFrame(const std::string& frame);
  // Does what is due: held replies go out, heard frames are handled, line
  // characters are written.
  void RunDue();
  // The time something is next due; Clock::time_point::max() when nothing is.
  Clock::time_point NextDue() const;
  // Holds a reply until its due time (in due order).
  void Hold(HeldReply reply);
  // Sends a reply now, counts it, and holds or sends its copy.
  void Release(HeldReply reply);
  // Sends text now: written at once (paced by paceBaud), or in line time put
  // on the line behind what is there.
  void Send(const std::string& text);
  // Line time: the characters of text go out one character time apart, the
  // first starting no sooner than earliest and after what is on the line.
  void PutOnLine(const std::string& text, Clock::time_point earliest);
  void WriteDueCharacters();
  // When what has been sent so far has ended on the line.
  Clock::time_point LineEnd() const;
  // The request's bytes (address to data, LRC removed) when the simulator
  // answers it; otherwise why not, for the verbose log.
  const char* Decode(const std::string& frame, std::vector<uint8_t>& bytes) const;
  // The next queued fault, else the persistent one, else one drawn from the
  // Options.
  Fault NextFault(const std::vector<uint8_t>& req);
  // The reply text for a reply with a fault applied; false when the fault
  // is to say nothing.
  bool ReplyText(const Fault& fault, const std::vector<uint8_t>& req, std::vector<uint8_t> reply, std::string& text);
  // Builds the reply bytes (address first, without LRC) to a decoded request;
  // empty when the request is not answered.
  std::vector<uint8_t> Execute(const std::vector<uint8_t>& req, bool perform);
  std::vector<uint8_t> ExecuteModbus(const std::vector<uint8_t>& req, bool perform);
  std::vector<uint8_t> ExecuteGtc(const std::vector<uint8_t>& req, bool perform);
  std::vector<uint8_t> ReadModbus(const std::vector<uint8_t>& req);
  std::vector<uint8_t> WriteModbusBlock(const std::vector<uint8_t>& req, bool perform);
  // Sleeps ms milliseconds unless Stop() comes first, writing line
  // characters as they fall due; true when stopping.
  bool WaitStop(uint32_t ms);
  // Faults on demand: the fault that Options give this request (None when none).
  Fault DrawFault(const std::vector<uint8_t>& req);
  bool Draw(int percent);
  uint32_t DrawMs(uint32_t minMs, uint32_t maxMs);
  std::string Garble(std::string text);
  void WriteReply(const std::string& text);
  bool WriteAll(const char* data, size_t len);

  Options options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable requestCv_;
  std::vector<bool> coils_, inputs_;
  std::vector<uint16_t> holding_, inputRegs_;
  std::vector<bool> gtcBits_;  // index = controller bit number, 0 unused
  std::vector<uint16_t> gtcRegs_[3];
  std::deque<Fault> queued_;
  Fault persistent_;
  std::vector<std::string> requests_;
  size_t duplicatesSent_ = 0;
  size_t lateSomeSent_ = 0;
  std::mt19937 random_;  // serving thread only
  // Serving thread only (and Stop() once it has ended):
  std::deque<HeldReply> held_;    // late replies and later copies, by due time
  std::deque<HeardFrame> heard_;  // line time: complete frames not yet heard, in order
  std::deque<LineChar> line_;     // line time: characters to write, in order
  Clock::duration charTime_{};    // line time: one character on the line
  Clock::time_point inFree_;      // line time: when the last character received ended
  Clock::time_point outFree_;     // line time: when the last character put on the line ends
  std::string frame_;             // the frame being received, from its ':'
  bool inFrame_ = false;

  std::thread thread_;
  std::atomic<bool> stop_{false};
  int fd_ = -1;        // the line: pty master, serial device or TCP connection (-1 while none)
  int listenFd_ = -1;  // TCP: the listening socket
  int keepFd_ = -1;    // pty slave kept open so the master never sees a hang-up; never read
  int wakeRead_ = -1;  // self-pipe that wakes the serving thread on Stop()
  int wakeWrite_ = -1;
};

}  // namespace plcsim
