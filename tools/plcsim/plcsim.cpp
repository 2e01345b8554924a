#include "plcsim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace plcsim {

namespace {

constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes pairs of hex digits; false when a character is not a hex digit or
// the count is odd.
bool DecodeHex(const std::string& text, size_t pos, size_t count, std::vector<uint8_t>& out) {
  if (count % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < count; i += 2) {
    int hi = HexDigit(text[pos + i]);
    int lo = HexDigit(text[pos + i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::string EncodeHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

uint8_t LrcOf(const std::vector<uint8_t>& bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(-sum);
}

uint16_t Word(const std::vector<uint8_t>& req, size_t pos) {
  return static_cast<uint16_t>(req[pos] << 8 | req[pos + 1]);
}

void PutWord(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

std::vector<uint8_t> ExceptionReply(const std::vector<uint8_t>& req, uint8_t code) {
  return {req[0], static_cast<uint8_t>(req[1] | 0x80), code};
}

// Reply to a bit read: byte count, then the bits packed LSB first.
template <typename BitAt>
std::vector<uint8_t> PackBits(const std::vector<uint8_t>& req, int quantity, BitAt bitAt) {
  std::vector<uint8_t> out{req[0], req[1], static_cast<uint8_t>((quantity + 7) / 8)};
  for (int i = 0; i < quantity; ++i) {
    if (i % 8 == 0) out.push_back(0);
    if (bitAt(i)) out.back() |= static_cast<uint8_t>(1 << (i % 8));
  }
  return out;
}

// Printable form of a frame for the verbose log: CR and LF spelled out.
std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "<%02X>", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

// The table (as mbpoll numbers them) and the references, counted from 1, that
// a request touches; false when it names none.
bool Touches(const std::vector<uint8_t>& req, bool gtc, int& table, int& first, int& last) {
  if (req.size() < 6) return false;
  static const int kModbusTable[17] = {-1, 0, 1, 4, 3, 0, 4, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4};
  const int function = req[1];
  const int addr = Word(req, 2);
  const int quantity = (function == 5 || function == 6) ? 1 : Word(req, 4);
  if (gtc) {
    table = function == 2 ? 1 : function == 4 ? 3 : function == 15 ? 0 : -1;
    first = function == 4 ? addr : function == 15 ? kGtcFirstVariable : addr;
    last = function == 4 ? addr : first + quantity - 1;
  } else {
    table = function <= 16 ? kModbusTable[function] : -1;
    first = addr + 1;
    last = addr + quantity;
  }
  return table >= 0;
}

bool Matches(const ExceptionRule& rule, const std::vector<uint8_t>& req, bool gtc) {
  if (rule.table < 0) return true;
  int table = 0, first = 0, last = 0;
  if (!Touches(req, gtc, table, first, last)) return false;
  return table == rule.table && rule.reference >= first && rule.reference <= last;
}

speed_t BaudConstant(uint32_t baud) {
  switch (baud) {
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return 0;
  }
}

bool SetRaw(int fd, uint32_t baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (baud != 0) {
    speed_t speed = BaudConstant(baud);
    if (speed == 0) return false;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The IPv4 loopback address (127.x.x.x, or "localhost") with a port; false
// for any other host, which the simulator never serves.
bool LoopbackAddress(const std::string& host, uint16_t port, sockaddr_in& out) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  return inet_pton(AF_INET, numeric.c_str(), &out.sin_addr) == 1 && ntohl(out.sin_addr.s_addr) >> 24 == 127;
}

// poll() until a point in time, to the microsecond; no time-out for
// time_point::max().
int PollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point until) {
  using namespace std::chrono;
  if (until == steady_clock::time_point::max()) return ppoll(fds, count, nullptr, nullptr);
  const auto left = std::max(steady_clock::duration::zero(), until - steady_clock::now());
  const auto whole = duration_cast<seconds>(left);
  timespec timeout{static_cast<time_t>(whole.count()),
                   static_cast<long>(duration_cast<nanoseconds>(left - whole).count())};
  return ppoll(fds, count, &timeout, nullptr);
}

}  // namespace

bool LoopbackHost(const std::string& host) {
  sockaddr_in addr{};
  return LoopbackAddress(host, 0, addr);
}

bool SupportedBaud(uint32_t baud) {
  return BaudConstant(baud) != 0;
}

uint8_t Lrc(const std::string& hexBody) {
  std::vector<uint8_t> bytes;
  if (!DecodeHex(hexBody, 0, hexBody.size(), bytes)) return 0;
  return LrcOf(bytes);
}

bool ParseExceptionRule(const std::string& text, ExceptionRule& out) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) return false;
  const std::string ref = text.substr(0, eq);
  const std::string code = text.substr(eq + 1);
  char* end = nullptr;
  const long c = std::strtol(code.c_str(), &end, 10);
  if (code.empty() || *end != '\0' || c < 1 || c > 255 || !std::isdigit(static_cast<unsigned char>(code[0]))) {
    return false;
  }
  ExceptionRule rule;
  rule.code = static_cast<uint8_t>(c);
  if (ref != "*") {
    if (ref.size() < 3 || ref[1] != ':' || std::string("0134").find(ref[0]) == std::string::npos) return false;
    const std::string number = ref.substr(2);
    const long r = std::strtol(number.c_str(), &end, 10);
    if (*end != '\0' || !std::isdigit(static_cast<unsigned char>(number[0])) || r < 1 || r > 65536) return false;
    rule.table = ref[0] - '0';
    rule.reference = static_cast<int>(r);
  }
  out = rule;
  return true;
}

std::string MakeFrame(const std::string& body) {
  std::string lrc = EncodeHex({Lrc(body)});
  return ":" + body + lrc + "\r\n";
}

Simulator::Simulator(Options options)
    : options_(std::move(options)),
      coils_(options_.tableSize, false),
      inputs_(options_.tableSize, false),
      holding_(options_.tableSize, 0),
      inputRegs_(options_.tableSize, 0),
      gtcBits_(kGtcBits + 1, false),
      random_(options_.seed) {
  for (int a = 0; a < 3; ++a) gtcRegs_[a].assign(kGtcAreaSize[a], 0);
  if (LineTime()) {
    const double seconds = std::max(1, options_.bitsPerChar) / static_cast<double>(options_.lineTimeBaud);
    charTime_ = std::chrono::round<Clock::duration>(std::chrono::duration<double>(seconds));
  }
}

Simulator::~Simulator() {
  Stop();
}

// ------------------------------------------------------------------ tables

void Simulator::SetCoil(uint16_t addr, bool v) {
  std::lock_guard lock(mutex_);
  if (addr < coils_.size()) coils_[addr] = v;
}
bool Simulator::Coil(uint16_t addr) const {
  std::lock_guard lock(mutex_);
  return addr < coils_.size() && coils_[addr];
}
void Simulator::SetInput(uint16_t addr, bool v) {
  std::lock_guard lock(mutex_);
  if (addr < inputs_.size()) inputs_[addr] = v;
}
bool Simulator::Input(uint16_t addr) const {
  std::lock_guard lock(mutex_);
  return addr < inputs_.size() && inputs_[addr];
}
void Simulator::SetHolding(uint16_t addr, uint16_t v) {
  std::lock_guard lock(mutex_);
  if (addr < holding_.size()) holding_[addr] = v;
}
uint16_t Simulator::Holding(uint16_t addr) const {
  std::lock_guard lock(mutex_);
  return addr < holding_.size() ? holding_[addr] : 0;
}
void Simulator::SetInputReg(uint16_t addr, uint16_t v) {
  std::lock_guard lock(mutex_);
  if (addr < inputRegs_.size()) inputRegs_[addr] = v;
}
uint16_t Simulator::InputReg(uint16_t addr) const {
  std::lock_guard lock(mutex_);
  return addr < inputRegs_.size() ? inputRegs_[addr] : 0;
}
void Simulator::SetGtcBit(uint16_t nr, bool v) {
  std::lock_guard lock(mutex_);
  if (nr >= 1 && nr <= kGtcBits) gtcBits_[nr] = v;
}
bool Simulator::GtcBit(uint16_t nr) const {
  std::lock_guard lock(mutex_);
  return nr >= 1 && nr <= kGtcBits && gtcBits_[nr];
}
void Simulator::SetGtcRegister(int area, uint16_t index, uint16_t v) {
  std::lock_guard lock(mutex_);
  if (area >= 1 && area <= 3 && index < gtcRegs_[area - 1].size()) gtcRegs_[area - 1][index] = v;
}
uint16_t Simulator::GtcRegister(int area, uint16_t index) const {
  std::lock_guard lock(mutex_);
  if (area < 1 || area > 3 || index >= gtcRegs_[area - 1].size()) return 0;
  return gtcRegs_[area - 1][index];
}

void Simulator::FillPattern() {
  std::lock_guard lock(mutex_);
  // Table index a is gate address a + 1: gate addresses count from 1.
  for (size_t a = 0; a < holding_.size(); ++a) {
    const size_t k = a + 1;
    holding_[a] = static_cast<uint16_t>(k);
    inputRegs_[a] = static_cast<uint16_t>(1000 + k);
    coils_[a] = k % 3 == 0;
    inputs_[a] = k % 2 == 0;
  }
  for (int n = 1; n <= kGtcBits; ++n) gtcBits_[n] = n % 2 == 0;
  for (int a = 0; a < 3; ++a) {
    for (size_t i = 0; i < gtcRegs_[a].size(); ++i) gtcRegs_[a][i] = static_cast<uint16_t>((a + 1) * 1000 + i);
  }
}

// ------------------------------------------------------------------ faults and requests

void Simulator::QueueFault(Fault f) {
  std::lock_guard lock(mutex_);
  queued_.push_back(f);
}
void Simulator::SetPersistentFault(Fault f) {
  std::lock_guard lock(mutex_);
  persistent_ = f;
}
void Simulator::ClearFaults() {
  std::lock_guard lock(mutex_);
  queued_.clear();
  persistent_ = Fault{};
}

std::vector<std::string> Simulator::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}
size_t Simulator::RequestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}
void Simulator::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}
bool Simulator::WaitForRequests(size_t n, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return requestCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}
size_t Simulator::DuplicatesSent() const {
  std::lock_guard lock(mutex_);
  return duplicatesSent_;
}
size_t Simulator::LateSomeSent() const {
  std::lock_guard lock(mutex_);
  return lateSomeSent_;
}

// ------------------------------------------------------------------ line

std::string Simulator::OpenPty() {
  Stop();
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return "";
  char name[256];
  int slave = -1;
  if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0) {
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  // Raw mode on the terminal side: no echo of our replies, no CR/LF mapping.
  if (slave < 0 || !SetRaw(slave, 0) || !StartServing(master, slave)) {
    if (slave >= 0) close(slave);
    close(master);
    return "";
  }
  return name;
}

bool Simulator::OpenDevice(const std::string& path) {
  Stop();
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  if (!SetRaw(fd, options_.deviceBaud) || !StartServing(fd, -1)) {
    close(fd);
    return false;
  }
  tcflush(fd, TCIOFLUSH);
  return true;
}

int Simulator::Listen(const std::string& host, uint16_t port) {
  Stop();
  sockaddr_in addr{};
  if (!LoopbackAddress(host, port, addr)) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // a restarted simulator takes its port back at once
  socklen_t len = sizeof addr;
  auto* any = reinterpret_cast<sockaddr*>(&addr);
  if (bind(fd, any, sizeof addr) != 0 || listen(fd, 4) != 0 || getsockname(fd, any, &len) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  listenFd_ = fd;  // closed by Stop(), also when serving cannot start
  if (!StartServing(-1, -1)) {
    Stop();
    return -1;
  }
  return ntohs(addr.sin_port);
}

// Runs on the serving thread while no connection is open.
void Simulator::Accept() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;  // gone again before it was taken
  // Each write goes out at once, as a controller puts characters on its port;
  // paced replies would otherwise wait for the peer's acknowledgement.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  if (options_.verbose) std::fprintf(stderr, "plcsim: connection accepted\n");
}

void Simulator::Disconnect() {
  close(fd_);
  fd_ = -1;
  ForgetPending();
  if (options_.verbose) std::fprintf(stderr, "plcsim: connection closed\n");
}

bool Simulator::StartServing(int fd, int keepFd) {
  if (fd >= 0 && !SetNonBlocking(fd)) return false;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  fd_ = fd;
  keepFd_ = keepFd;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  stop_ = false;
  thread_ = std::thread(&Simulator::Serve, this);
  return true;
}

void Simulator::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    char c = 1;
    (void)!write(wakeWrite_, &c, 1);
    thread_.join();
  }
  for (int* p : {&fd_, &keepFd_, &listenFd_, &wakeRead_, &wakeWrite_}) {
    if (*p >= 0) close(*p);
    *p = -1;
  }
  ForgetPending();  // meant for a line that is gone
}

void Simulator::ForgetPending() {
  held_.clear();
  heard_.clear();
  line_.clear();
  inFree_ = outFree_ = {};
  frame_.clear();
  inFrame_ = false;
}

bool Simulator::WaitStop(uint32_t ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop_) {
    WriteDueCharacters();
    if (Clock::now() >= deadline) return false;
    pollfd p{wakeRead_, POLLIN, 0};
    PollUntil(&p, 1, line_.empty() ? deadline : std::min(deadline, line_.front().at));
  }
  return true;
}

// Writes everything unless stopping. A line that takes nothing for a second
// (nobody reads the terminal side and its buffer is full) loses the rest, as
// characters on a real line would be lost.
bool Simulator::WriteAll(const char* data, size_t len) {
  while (len > 0 && !stop_) {
    // A peer that has closed its connection must not end the program with
    // SIGPIPE; the read that follows sees it gone.
    ssize_t n = listenFd_ >= 0 ? send(fd_, data, len, MSG_NOSIGNAL) : write(fd_, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    pollfd p[2] = {{fd_, POLLOUT, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(p, 2, 1000) == 0) return false;
  }
  return len == 0;
}

void Simulator::WriteReply(const std::string& text) {
  if (options_.paceBaud == 0) {
    WriteAll(text.data(), text.size());
    return;
  }
  // One character at a time, each released when it would have finished on a
  // line of paceBaud with 10 bits per character.
  using namespace std::chrono;
  auto charTime = duration<double>(10.0 / options_.paceBaud);
  auto start = steady_clock::now();
  for (size_t i = 0; i < text.size() && !stop_; ++i) {
    std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(charTime * (i + 1)));
    if (!WriteAll(&text[i], 1)) return;
  }
}

void Simulator::Serve() {
  char buf[256];
  while (!stop_) {
    RunDue();
    // Over TCP the listening socket is watched only while no connection is
    // open (poll() skips a negative descriptor), so that the next client
    // waits until the current one has gone.
    pollfd p[3] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}, {fd_ < 0 ? listenFd_ : -1, POLLIN, 0}};
    if (PollUntil(p, 3, NextDue()) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (stop_ || (p[0].revents & POLLNVAL)) break;
    if (p[2].revents & POLLIN) Accept();
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0 && listenFd_ >= 0) {
      Disconnect();  // the client has gone: the next may come
      continue;
    }
    if (n <= 0) {
      // A line error or a hang-up of a device whose other side is gone: wait
      // a little and go on rather than spin or give up.
      if (WaitStop(20)) break;
      continue;
    }
    Receive(buf, static_cast<size_t>(n));
  }
}

void Simulator::Receive(const char* data, size_t len) {
  if (options_.echo && !LineTime()) WriteAll(data, len);  // heard before anything is answered
  const auto now = Clock::now();
  for (size_t i = 0; i < len; ++i) {
    if (!LineTime()) {
      Assemble(data[i], now);
      continue;
    }
    // What the terminal hands over at once, a line carries one character
    // after another: each ends a character time after the later of its
    // reading and the end of the one before. The echo of a character ends
    // when the character does, unless the line is still busy.
    const auto start = std::max(now, inFree_);
    inFree_ = start + charTime_;
    if (options_.echo) PutOnLine(std::string(1, data[i]), start);
    Assemble(data[i], inFree_);
  }
}

// Collects a frame from ':' to LF; handles it at once, or in line time once
// its last character, ending at heard, could have arrived.
void Simulator::Assemble(char c, Clock::time_point heard) {
  if (c == ':') {  // start of a frame; resynchronises on a broken one
    frame_.assign(1, c);
    inFrame_ = true;
    return;
  }
  if (!inFrame_) return;  // noise between frames
  frame_ += c;
  if (frame_.size() > kMaxFrame) {
    frame_.clear();
    inFrame_ = false;
  } else if (c == '\n') {
    if (LineTime()) {
      heard_.push_back({heard, std::move(frame_)});
    } else {
      HandleFrame(frame_);
    }
    frame_.clear();
    inFrame_ = false;
  }
}

void Simulator::HandleFrame(const std::string& frame) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(frame);
  }
  requestCv_.notify_all();

  auto log = [&](const std::string& what) {
    if (options_.verbose) std::fprintf(stderr, "plcsim: <- %s  -> %s\n", Printable(frame).c_str(), what.c_str());
  };
  std::vector<uint8_t> bytes;
  if (const char* why = Decode(frame, bytes)) {
    log(why);
    return;
  }
  Fault fault = NextFault(bytes);
  std::vector<uint8_t> reply;
  {
    std::lock_guard lock(mutex_);
    reply = Execute(bytes, fault.kind != FaultKind::Exception);
  }
  std::string text;
  if (!ReplyText(fault, bytes, std::move(reply), text)) {
    log("(fault: no reply)");
    return;
  }
  uint32_t delay = options_.replyDelayMs;
  if (fault.kind == FaultKind::Delay) delay += static_cast<uint32_t>(std::max(0, fault.arg));
  HeldReply answer{Clock::now(), std::move(text)};
  const bool lateSome = Draw(options_.lateSomePercent);
  if (lateSome) {
    answer.what = Sent::LateSome;
    delay += DrawMs(options_.lateSomeMinMs, options_.lateSomeMaxMs);
  }
  if (Draw(options_.duplicatePercent)) {
    answer.duplicateMs = static_cast<int>(DrawMs(options_.duplicateDelayMinMs, options_.duplicateDelayMaxMs));
  }
  const std::string twice = answer.duplicateMs < 0 ? "" : " (twice)";
  if (lateSome || (delay > 0 && options_.lateEachOwn)) {
    // Held in due order; the serving loop sends it while it goes on reading.
    answer.due += std::chrono::milliseconds(delay);
    log("(in " + std::to_string(delay) + " ms) " + Printable(answer.text) + twice);
    Hold(std::move(answer));
    return;
  }
  if (delay > 0 && WaitStop(delay)) return;
  log(Printable(answer.text) + twice);
  Release(std::move(answer));
}

void Simulator::RunDue() {
  while (!stop_) {
    const auto now = Clock::now();
    const bool replyDue = !held_.empty() && held_.front().due <= now;
    const bool frameDue = !heard_.empty() && heard_.front().at <= now;
    if (replyDue && (!frameDue || held_.front().due <= heard_.front().at)) {
      HeldReply reply = std::move(held_.front());
      held_.pop_front();
      Release(std::move(reply));
    } else if (frameDue) {
      const std::string frame = std::move(heard_.front().frame);
      heard_.pop_front();
      HandleFrame(frame);
    } else {
      break;
    }
  }
  WriteDueCharacters();
}

Simulator::Clock::time_point Simulator::NextDue() const {
  auto next = Clock::time_point::max();
  if (!held_.empty()) next = std::min(next, held_.front().due);
  if (!heard_.empty()) next = std::min(next, heard_.front().at);
  if (!line_.empty()) next = std::min(next, line_.front().at);
  return next;
}

void Simulator::Hold(HeldReply reply) {
  auto at =
      std::upper_bound(held_.begin(), held_.end(), reply.due, [](auto due, const HeldReply& h) { return due < h.due; });
  held_.insert(at, std::move(reply));
}

void Simulator::Release(HeldReply reply) {
  if (reply.what != Sent::Answer) {
    std::lock_guard lock(mutex_);
    ++(reply.what == Sent::Duplicate ? duplicatesSent_ : lateSomeSent_);
  }
  Send(reply.text);
  if (reply.duplicateMs < 0) return;
  HeldReply copy{LineEnd() + std::chrono::milliseconds(reply.duplicateMs), std::move(reply.text), Sent::Duplicate};
  if (reply.duplicateMs == 0) {
    Release(std::move(copy));  // right behind the first
  } else {
    Hold(std::move(copy));
  }
}

void Simulator::Send(const std::string& text) {
  if (LineTime()) {
    PutOnLine(text, Clock::now());
  } else {
    WriteReply(text);
  }
}

void Simulator::PutOnLine(const std::string& text, Clock::time_point earliest) {
  // Absolute times, each a character time after the one before, so that the
  // rate holds however late the serving thread wakes.
  for (char c : text) {
    outFree_ = std::max(earliest, outFree_) + charTime_;
    line_.push_back({outFree_, c});
  }
}

// Writes the characters whose time has come, those it woke late for together.
void Simulator::WriteDueCharacters() {
  const auto now = Clock::now();
  std::string due;
  while (!line_.empty() && line_.front().at <= now) {
    due += line_.front().c;
    line_.pop_front();
  }
  if (!due.empty()) WriteAll(due.data(), due.size());
}

Simulator::Clock::time_point Simulator::LineEnd() const {
  return LineTime() ? std::max(outFree_, Clock::now()) : Clock::now();
}

const char* Simulator::Decode(const std::string& frame, std::vector<uint8_t>& bytes) const {
  // Well-formed: ':' + an even number of hex digits (address, function, LRC at
  // least) + CR LF, with the byte sum including the LRC equal to 0.
  if (frame.size() < 9 || frame[frame.size() - 2] != '\r' || !DecodeHex(frame, 1, frame.size() - 3, bytes)) {
    return "(malformed, no reply)";
  }
  if (LrcOf(bytes) != 0) return "(bad LRC, no reply)";
  bytes.pop_back();  // the LRC
  for (int a : options_.addresses) {
    if (a == bytes[0]) return nullptr;
  }
  return "(other address, no reply)";
}

Fault Simulator::NextFault(const std::vector<uint8_t>& req) {
  {
    std::lock_guard lock(mutex_);
    if (!queued_.empty()) {
      Fault fault = queued_.front();
      queued_.pop_front();
      return fault;
    }
    if (persistent_.kind != FaultKind::None) return persistent_;
  }
  return DrawFault(req);
}

bool Simulator::Draw(int percent) {
  if (percent <= 0) return false;
  return percent >= 100 || static_cast<int>(random_() % 100) < percent;
}

uint32_t Simulator::DrawMs(uint32_t minMs, uint32_t maxMs) {
  if (maxMs <= minMs) return minMs;
  return minMs + static_cast<uint32_t>(random_() % (uint64_t{maxMs} - minMs + 1));
}

Fault Simulator::DrawFault(const std::vector<uint8_t>& req) {
  if (Draw(options_.silentPercent)) return {FaultKind::NoReply, 0};
  for (const ExceptionRule& rule : options_.exceptions) {
    if (Matches(rule, req, options_.gtc)) return {FaultKind::Exception, rule.code};
  }
  if (Draw(options_.lrcErrorPercent)) return {FaultKind::BadLrc, 0};
  if (Draw(options_.garblePercent)) return {FaultKind::Noise, 0};
  return {};
}

// Replaces one character between the colon and CR LF by one that cannot
// appear in a frame.
std::string Simulator::Garble(std::string text) {
  static const char kNoise[] = "!#$%&*+-./;<=>?@GHJKLMNPQRSTUVWXYZ[]^_ghjkmnpqrstuvwxyz{|}~";
  if (text.size() < 4) return text;
  const size_t pos = 1 + random_() % (text.size() - 3);
  text[pos] = kNoise[random_() % (sizeof kNoise - 1)];
  return text;
}

bool Simulator::ReplyText(const Fault& fault, const std::vector<uint8_t>& req, std::vector<uint8_t> reply,
                          std::string& text) {
  switch (fault.kind) {
    case FaultKind::NoReply:
      return false;
    case FaultKind::OtherAddress:
      if (!reply.empty()) reply[0] = static_cast<uint8_t>(fault.arg);
      break;
    case FaultKind::OtherFunction:
      if (reply.size() > 1) reply[1] = static_cast<uint8_t>(fault.arg);
      break;
    case FaultKind::Exception:
      reply = ExceptionReply(req, static_cast<uint8_t>(fault.arg));
      break;
    default:
      break;
  }
  uint8_t lrc = LrcOf(reply);
  if (fault.kind == FaultKind::BadLrc) ++lrc;
  text.assign(1, ':');
  text += EncodeHex(reply);
  text += EncodeHex({lrc});
  text += fault.kind == FaultKind::NoCrLf ? "??" : "\r\n";
  const size_t count = static_cast<size_t>(std::max(0, fault.arg));
  if (fault.kind == FaultKind::Truncate) text.resize(std::min(count, text.size()));
  if (fault.kind == FaultKind::Garbage) text.insert(0, count, '#');
  if (fault.kind == FaultKind::Noise) text = Garble(std::move(text));
  return true;
}

// ------------------------------------------------------------------ functions

std::vector<uint8_t> Simulator::Execute(const std::vector<uint8_t>& req, bool perform) {
  return options_.gtc ? ExecuteGtc(req, perform) : ExecuteModbus(req, perform);
}

std::vector<uint8_t> Simulator::ExecuteModbus(const std::vector<uint8_t>& req, bool perform) {
  const uint8_t function = req[1];
  const size_t dataLen = req.size() - 2;
  const size_t table = options_.tableSize;
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      return ReadModbus(req);
    case 5:
    case 6: {
      if (dataLen != 4) return ExceptionReply(req, kIllegalValue);
      const uint16_t addr = Word(req, 2);
      const uint16_t value = Word(req, 4);
      if (function == 5 && value != 0xFF00 && value != 0x0000) return ExceptionReply(req, kIllegalValue);
      if (addr >= table) return ExceptionReply(req, kIllegalAddress);
      if (perform) {
        if (function == 5) {
          coils_[addr] = value == 0xFF00;
        } else {
          holding_[addr] = value;
        }
      }
      return req;  // echo
    }
    case 15:
    case 16:
      return WriteModbusBlock(req, perform);
    default:
      return ExceptionReply(req, kIllegalFunction);
  }
}

// Functions 1 to 4: bits or registers from one of the four tables.
std::vector<uint8_t> Simulator::ReadModbus(const std::vector<uint8_t>& req) {
  const uint8_t function = req[1];
  if (req.size() - 2 != 4) return ExceptionReply(req, kIllegalValue);
  const uint16_t addr = Word(req, 2);
  const int quantity = Word(req, 4);
  const bool bits = function <= 2;
  if (quantity < 1 || quantity > (bits ? kMaxReadBits : kMaxReadRegisters)) return ExceptionReply(req, kIllegalValue);
  if (addr + static_cast<size_t>(quantity) > options_.tableSize) return ExceptionReply(req, kIllegalAddress);
  if (bits) {
    const std::vector<bool>& t = function == 1 ? coils_ : inputs_;
    return PackBits(req, quantity, [&](int i) { return t[addr + i]; });
  }
  const std::vector<uint16_t>& t = function == 3 ? holding_ : inputRegs_;
  std::vector<uint8_t> out{req[0], function, static_cast<uint8_t>(quantity * 2)};
  for (int i = 0; i < quantity; ++i) PutWord(out, t[addr + i]);
  return out;
}

// Functions 15 and 16: several coils or holding registers.
std::vector<uint8_t> Simulator::WriteModbusBlock(const std::vector<uint8_t>& req, bool perform) {
  const size_t dataLen = req.size() - 2;
  if (dataLen < 5) return ExceptionReply(req, kIllegalValue);
  const uint16_t addr = Word(req, 2);
  const int quantity = Word(req, 4);
  const size_t byteCount = req[6];
  const bool bits = req[1] == 15;
  const size_t expectedBytes = bits ? (quantity + 7) / 8 : quantity * 2;
  if (quantity < 1 || quantity > (bits ? kMaxWriteBits : kMaxWriteRegisters) || byteCount != expectedBytes ||
      dataLen != 5 + byteCount) {
    return ExceptionReply(req, kIllegalValue);
  }
  if (addr + static_cast<size_t>(quantity) > options_.tableSize) return ExceptionReply(req, kIllegalAddress);
  if (perform) {
    for (int i = 0; i < quantity; ++i) {
      if (bits) {
        coils_[addr + i] = (req[7 + i / 8] >> (i % 8)) & 1;
      } else {
        holding_[addr + i] = Word(req, 7 + 2 * i);
      }
    }
  }
  return {req.begin(), req.begin() + 6};  // address, function, start, quantity
}

std::vector<uint8_t> Simulator::ExecuteGtc(const std::vector<uint8_t>& req, bool perform) {
  const uint8_t function = req[1];
  const size_t dataLen = req.size() - 2;
  switch (function) {
    case 2: {  // bits A..A+Q-1 in the controller's numbering
      if (dataLen != 4) return ExceptionReply(req, kIllegalValue);
      const int addr = Word(req, 2);
      const int quantity = Word(req, 4);
      if (quantity < 1 || quantity > kMaxReadBits) return ExceptionReply(req, kIllegalValue);
      if (addr < 1 || addr + quantity - 1 > kGtcBits) return ExceptionReply(req, kIllegalAddress);
      return PackBits(req, quantity, [&](int i) { return gtcBits_[addr + i]; });
    }
    case 4: {  // register area 1, 2 or 3, Q values from its start
      if (dataLen != 4) return ExceptionReply(req, kIllegalValue);
      const int area = Word(req, 2);
      const int quantity = Word(req, 4);
      if (area < 1 || area > 3) return ExceptionReply(req, kIllegalAddress);
      if (quantity < 1 || quantity > kGtcAreaSize[area - 1]) return ExceptionReply(req, kIllegalValue);
      std::vector<uint8_t> out{req[0], function, static_cast<uint8_t>(quantity * 2)};
      for (int i = 0; i < quantity; ++i) PutWord(out, gtcRegs_[area - 1][i]);
      return out;
    }
    case 15: {  // address 1 sets, 2 resets the masked bits; mask bit i is bit 161 + i
      if (dataLen < 5) return ExceptionReply(req, kIllegalValue);
      const int mode = Word(req, 2);
      const int quantity = Word(req, 4);
      const size_t byteCount = req[6];
      if (mode != 1 && mode != 2) return ExceptionReply(req, kIllegalAddress);
      if (quantity < 1 || byteCount != static_cast<size_t>(quantity + 7) / 8 || dataLen != 5 + byteCount) {
        return ExceptionReply(req, kIllegalValue);
      }
      if (kGtcFirstVariable + quantity - 1 > kGtcLastVariable) return ExceptionReply(req, kIllegalAddress);
      if (perform) {
        for (int i = 0; i < quantity; ++i) {
          if ((req[7 + i / 8] >> (i % 8)) & 1) gtcBits_[kGtcFirstVariable + i] = mode == 1;
        }
      }
      return {req.begin(), req.begin() + 6};
    }
    default:
      return ExceptionReply(req, kIllegalFunction);
  }
}

}  // namespace plcsim
