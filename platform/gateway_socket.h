// The few socket calls the gateway port makes, the same on POSIX and on
// Winsock: a non-blocking TCP stream socket, waiting on it with a deadline,
// sending and receiving without signals, and the system's error codes.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

namespace sarn {

#ifdef _WIN32
using GateSocket = SOCKET;
inline const GateSocket kNoSocket = INVALID_SOCKET;
#else
using GateSocket = int;
inline constexpr GateSocket kNoSocket = -1;
#endif

// Starts the socket library once (Winsock); true when it can be used.
bool SocketsReady();
// A non-blocking TCP socket with keep-alive (a dead peer is found within
// about idle + interval * count seconds) and no send delay; kNoSocket with
// the error set when none.
GateSocket OpenStreamSocket(int iKeepIdleS, int iKeepIntervalS, int iKeepCount);
void CloseSocket(GateSocket s);
int SocketError();
void SetSocketError(int iErr);
// Connects within dwWaitMs; false with the error set.
bool ConnectSocket(GateSocket s, const sockaddr_in& addr, uint32_t dwWaitMs);
// Waits up to iMs (0: not at all) for the socket to be readable (bWrite:
// writable): 1 ready, 0 timed out, -1 failed.
int WaitSocket(GateSocket s, bool bWrite, int iMs);
// One send or receive: the bytes moved, 0 when it would block (receive: 0
// with the error 0 when the peer closed), -1 on a failure.
long SendSome(GateSocket s, const void* p, size_t n);
long ReceiveSome(GateSocket s, void* p, size_t n, bool* pbClosed);
// Bytes received and not yet read.
uint32_t SocketBytesWaiting(GateSocket s);
// A dotted IPv4 address, or "localhost".
bool ParseIPv4(const char* pszHost, in_addr* pAddr);
uint64_t SocketNowMs();

}  // namespace sarn
