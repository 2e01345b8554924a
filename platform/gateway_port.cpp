// Lines behind serial device servers: a port that is a TCP connection to a
// gateway that puts an RS-485 or RS-232 line on Ethernet.
//
// Two kinds, named as pyserial names them:
// - "socket://HOST:PORT": raw TCP. The gateway passes bytes through both
//   ways; its line settings are made on the gateway.
// - "rfc2217://HOST:PORT": Telnet with the COM-PORT-OPTION (RFC 2217). The
//   line settings go to the gateway (baud rate, data bits, parity, stop
//   bits, no flow control); data bytes 255 are doubled, and the gateway's
//   Telnet commands are taken out of what is read. Its replies to the line
//   settings are optional: none is waited for.
//
// HOST is a dotted IPv4 address or "localhost": resolving names would
// allocate memory and may block without bound. A connect has a bounded
// time; TCP keep-alive finds a peer that died without closing.
//
// A connection that drops (the gateway closed it, reset it, or stopped
// answering) fails the call under way and is closed; the next read or
// write connects again by itself, at most once per read time-out, so a poll
// rides out a gateway's restart and resumes. RTS switching is the
// gateway's: the port reports that the device switches it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/gateway_socket.h"
#include "platform/port_backend.h"
#include "platform/read_ahead.h"
#include "platform/telnet_filter.h"

namespace sarn {

namespace {

constexpr uint32_t kConnectTimeoutMs = 3000;
// The shortest wait before connecting again after a failed connect.
constexpr uint32_t kMinReconnectMs = 500;
constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepCount = 3;

// RFC 2217's COM-PORT-OPTION commands (Telnet's own codes: telnet_filter.h).
constexpr uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5;
constexpr uint8_t kPurgeData = 12, kPurgeReceived = 1;
constexpr uint8_t kControlNoFlow = 1;

struct Gateway {
  PortSlot* pPort;
  bool bRfc2217;
  GateSocket fd;  // kNoSocket while not connected
  sockaddr_in addr;
  uint64_t nextConnectMs;  // no connect before this time
  PlatLine line;
  TelnetFilter telnet;
  ReadAhead ahead;  // data bytes, Telnet commands taken out
};

Gateway g_gateways[kMaxOpenPorts];

Gateway* GatewayOf(PortSlot* pPort) {
  return &g_gateways[pPort->iIndex];
}

int WaitMs(uint64_t deadline) {
  const uint64_t now = SocketNowMs();
  return deadline > now ? static_cast<int>(deadline - now < 1000000 ? deadline - now : 1000000) : 0;
}

// "socket://HOST:PORT" or "rfc2217://HOST:PORT" into the gateway's address.
bool ParseAddress(const char* pszName, Gateway* pGate) {
  if (!PlatIsGatewayName(pszName)) return false;
  pGate->bRfc2217 = pszName[0] == 'r';
  const char* p = strstr(pszName, "://") + 3;
  const char* pszColon = strrchr(p, ':');
  if (pszColon == nullptr || pszColon == p || static_cast<size_t>(pszColon - p) >= 16) return false;
  char szHost[16];
  memcpy(szHost, p, static_cast<size_t>(pszColon - p));
  szHost[pszColon - p] = '\0';
  char* pEnd = nullptr;
  const unsigned long port = strtoul(pszColon + 1, &pEnd, 10);
  if (pEnd == pszColon + 1 || *pEnd != '\0' || port == 0 || port > 65535) return false;
  pGate->addr = sockaddr_in{};
  pGate->addr.sin_family = AF_INET;
  pGate->addr.sin_port = htons(static_cast<uint16_t>(port));
  return ParseIPv4(szHost, &pGate->addr.sin_addr);
}

// A connected socket to the address within dwWaitMs; kNoSocket with the
// error set when none.
GateSocket ConnectWithin(const sockaddr_in& addr, uint32_t dwWaitMs) {
  const GateSocket s = OpenStreamSocket(kKeepIdleS, kKeepIntervalS, kKeepCount);
  if (s == kNoSocket || ConnectSocket(s, addr, dwWaitMs)) return s;
  const int iErr = SocketError();
  CloseSocket(s);
  SetSocketError(iErr);
  return kNoSocket;
}

// Sends all of the bytes, waiting for room at most the connect time-out.
bool SendAll(Gateway* pGate, const uint8_t* p, size_t n) {
  const uint64_t deadline = SocketNowMs() + kConnectTimeoutMs;
  while (n > 0) {
    const long sent = SendSome(pGate->fd, p, n);
    if (sent < 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
    if (n == 0 || sent > 0) continue;
    if (WaitSocket(pGate->fd, true, WaitMs(deadline)) <= 0) {
      SetSocketError(kErrTimedOut);
      return false;
    }
  }
  return true;
}

// One COM-PORT-OPTION command with its value (big-endian, 255 doubled).
bool SendComPort(Gateway* pGate, uint8_t cCommand, uint32_t dwValue, int nBytes) {
  uint8_t cmd[16] = {kTelnetIac, kTelnetSb, kTelnetComPort, cCommand};
  size_t n = 4;
  for (int i = nBytes - 1; i >= 0; --i) {
    const uint8_t c = static_cast<uint8_t>(dwValue >> (8 * i));
    cmd[n++] = c;
    if (c == kTelnetIac) cmd[n++] = kTelnetIac;
  }
  cmd[n++] = kTelnetIac;
  cmd[n++] = kTelnetSe;
  return SendAll(pGate, cmd, n);
}

// The line to the gateway, in RFC 2217's numbering.
bool SendLine(Gateway* pGate) {
  static constexpr uint8_t kStopCodes[] = {1, 3, 2};  // one, one and a half, two
  const PlatLine& l = pGate->line;
  return SendComPort(pGate, kSetBaud, l.dwBaudRate, 4) && SendComPort(pGate, kSetDataSize, l.cByteSize, 1) &&
         SendComPort(pGate, kSetParity, l.cParity + 1u, 1) &&
         SendComPort(pGate, kSetStopSize, kStopCodes[l.cStopBits <= kStopTwo ? l.cStopBits : 0], 1) &&
         SendComPort(pGate, kSetControl, kControlNoFlow, 1);
}

bool Connect(Gateway* pGate, uint32_t dwWaitMs) {
  pGate->fd = ConnectWithin(pGate->addr, dwWaitMs);
  if (pGate->fd == kNoSocket) return false;
  pGate->telnet = TelnetFilter{};
  AheadFilled(&pGate->ahead, 0);
  if (!pGate->bRfc2217) return true;
  const uint8_t offer[] = {kTelnetIac, kTelnetWill, kTelnetComPort};
  if (SendAll(pGate, offer, sizeof offer) && SendLine(pGate)) return true;
  const int iErr = SocketError();
  CloseSocket(pGate->fd);
  pGate->fd = kNoSocket;
  SetSocketError(iErr);
  return false;
}

// The connection is gone: closed, and connected again no sooner than a
// read time-out from now.
bool Dropped(Gateway* pGate, const char* pszWhat, int iErr) {
  if (pGate->fd != kNoSocket) CloseSocket(pGate->fd);
  pGate->fd = kNoSocket;
  const uint32_t dwWait =
      pGate->pPort->dwReadTimeoutMs > kMinReconnectMs ? pGate->pPort->dwReadTimeoutMs : kMinReconnectMs;
  pGate->nextConnectMs = SocketNowMs() + dwWait;
  return SlotRefused(pGate->pPort, pszWhat, iErr);
}

// Connects again after a drop, when its time has come.
bool EnsureConnected(Gateway* pGate) {
  if (pGate->fd != kNoSocket) return true;
  if (SocketNowMs() < pGate->nextConnectMs)
    return SlotRefused(pGate->pPort, "connect (the gateway dropped the line; retried later)", kErrNotConnected);
  uint32_t dwWait = pGate->pPort->dwReadTimeoutMs;
  if (dwWait < kMinReconnectMs) dwWait = kMinReconnectMs;
  if (dwWait > kConnectTimeoutMs) dwWait = kConnectTimeoutMs;
  if (Connect(pGate, dwWait)) return true;
  return Dropped(pGate, "connect (again, to the gateway)", SocketError());
}

// One byte from a Telnet gateway: true when it is a data byte. An option
// offer is answered at once.
bool TelnetByte(Gateway* pGate, uint8_t c) {
  uint8_t reply[3];
  int nReply = 0;
  const bool bData = TelnetTake(&pGate->telnet, c, reply, &nReply);
  if (nReply > 0) SendSome(pGate->fd, reply, static_cast<size_t>(nReply));
  return bData;
}

// One receive into the empty read-ahead buffer, the Telnet commands taken
// out: the data bytes it holds, or -1 when the connection is gone (the
// error set; kErrReset for a close).
int Receive(Gateway* pGate) {
  bool bClosed = false;
  const long n = ReceiveSome(pGate->fd, pGate->ahead.buf, kReadAheadSize, &bClosed);
  if (bClosed) SetSocketError(kErrReset);
  if (bClosed || n < 0) return -1;
  uint32_t dwData = 0;
  for (long i = 0; i < n; ++i) {
    const uint8_t c = static_cast<uint8_t>(pGate->ahead.buf[i]);
    if (!pGate->bRfc2217 || TelnetByte(pGate, c)) pGate->ahead.buf[dwData++] = static_cast<char>(c);
  }
  AheadFilled(&pGate->ahead, dwData);
  return static_cast<int>(dwData);
}

bool GateOpen(PortSlot* pPort, const char* pszName, PlatOpenFault*) {
  Gateway* pGate = GatewayOf(pPort);
  *pGate = Gateway{};
  pGate->pPort = pPort;
  pGate->fd = kNoSocket;
  pGate->line.dwBaudRate = 9600;
  if (!SocketsReady() || !ParseAddress(pszName, pGate)) {
    NoteOpenFailure(pszName, "gateway address (HOST:PORT, HOST an IPv4 address or localhost)", nullptr, kErrInvalid);
    SetSocketError(kErrInvalid);
    return false;
  }
  if (Connect(pGate, kConnectTimeoutMs)) return true;
  NoteOpenFailure(pszName, "connect", nullptr, SocketError());
  return false;
}

bool GateClose(PortSlot* pPort) {
  Gateway* pGate = GatewayOf(pPort);
  if (pGate->fd != kNoSocket) CloseSocket(pGate->fd);
  pGate->fd = kNoSocket;
  return true;
}

bool GateGetLine(PortSlot* pPort, PlatLine* pLine) {
  *pLine = GatewayOf(pPort)->line;
  return true;
}

bool GateSetLine(PortSlot* pPort, const PlatLine& line) {
  Gateway* pGate = GatewayOf(pPort);
  pGate->line = line;
  if (!pGate->bRfc2217 || pGate->fd == kNoSocket) return true;
  return SendLine(pGate) || Dropped(pGate, "line (to the gateway)", SocketError());
}

bool GateGetQueues(PortSlot* pPort, PlatQueues* pQueues) {
  Gateway* pGate = GatewayOf(pPort);
  *pQueues = PlatQueues{};
  pQueues->cbInQue = AheadBuffered(pGate->ahead);
  if (pGate->fd != kNoSocket) pQueues->cbInQue += SocketBytesWaiting(pGate->fd);
  return true;
}

bool GateRead(PortSlot* pPort, char* pOut, uint32_t dwCount, uint32_t* pRead) {
  Gateway* pGate = GatewayOf(pPort);
  uint32_t dwGot = TakeAhead(&pGate->ahead, pOut, dwCount);
  if (dwGot < dwCount && !EnsureConnected(pGate)) return false;
  const uint64_t deadline = SocketNowMs() + pPort->dwReadTimeoutMs;
  while (dwGot < dwCount) {
    const int rc = WaitSocket(pGate->fd, false, WaitMs(deadline));
    if (rc == 0) break;
    if (rc < 0 || Receive(pGate) < 0) {
      *pRead = dwGot;
      return dwGot > 0 || Dropped(pGate, "read (the gateway closed the connection)", SocketError());
    }
    dwGot += TakeAhead(&pGate->ahead, pOut + dwGot, dwCount - dwGot);
  }
  *pRead = dwGot;
  return true;
}

bool GateWrite(PortSlot* pPort, const char* pIn, uint32_t dwCount, uint32_t* pWritten) {
  Gateway* pGate = GatewayOf(pPort);
  if (!EnsureConnected(pGate)) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(pIn);
  for (uint32_t i = 0; i < dwCount;) {
    // Runs without a byte 255 go as they are; a 255 goes doubled on Telnet.
    uint32_t n = 0;
    while (i + n < dwCount && !(pGate->bRfc2217 && p[i + n] == kTelnetIac)) ++n;
    const uint8_t iac[2] = {kTelnetIac, kTelnetIac};
    const bool bOk = n > 0 ? SendAll(pGate, p + i, n) : SendAll(pGate, iac, 2);
    if (!bOk) return Dropped(pGate, "write (to the gateway)", SocketError());
    i += n > 0 ? n : 1;
  }
  *pWritten = dwCount;
  return true;
}

// An RFC 2217 gateway is asked to discard what it has received from the
// line and not sent yet; a raw one cannot be asked.
bool GatePurgeInput(PortSlot* pPort) {
  Gateway* pGate = GatewayOf(pPort);
  if (!pGate->bRfc2217 || pGate->fd == kNoSocket) return true;
  return SendComPort(pGate, kPurgeData, kPurgeReceived, 1) || Dropped(pGate, "purge (to the gateway)", SocketError());
}

bool GateSetRts(PortSlot*, bool) {
  return true;  // the gateway switches its line's direction
}

bool GateRtsByDevice(PortSlot*) {
  return true;
}

}  // namespace

const PortBackend kGatewayPort = {
    "gateway",     GateOpen, GateClose, GateGetLine, GateSetLine,     SlotReadTimeout,     SetSlotReadTimeout,
    GateGetQueues, GateRead, GateWrite, GateSetRts,  GateRtsByDevice, DescribeSlotFailure, GatePurgeInput,
};

}  // namespace sarn
