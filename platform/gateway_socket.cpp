// The gateway port's socket calls on POSIX and on Winsock; see
// gateway_socket.h.
#include "platform/gateway_socket.h"

#include <string.h>

#ifdef _WIN32
#include <mstcpip.h>
#endif

namespace sarn {

#ifdef _WIN32

bool SocketsReady() {
  static const bool bReady = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return bReady;
}

GateSocket OpenStreamSocket(int iKeepIdleS, int iKeepIntervalS, int) {
  GateSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  u_long uNonBlocking = 1;
  ioctlsocket(s, FIONBIO, &uNonBlocking);
  tcp_keepalive keep{1, static_cast<ULONG>(iKeepIdleS) * 1000, static_cast<ULONG>(iKeepIntervalS) * 1000};
  DWORD dwBytes = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &dwBytes, nullptr, nullptr);
  BOOL bNoDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof bNoDelay);
  return s;
}

void CloseSocket(GateSocket s) {
  closesocket(s);
}

int SocketError() {
  return WSAGetLastError();
}

void SetSocketError(int iErr) {
  WSASetLastError(iErr);
  SetLastError(static_cast<DWORD>(iErr));
}

int WaitSocket(GateSocket s, bool bWrite, int iMs) {
  WSAPOLLFD pfd{s, static_cast<SHORT>(bWrite ? POLLOUT : POLLRDNORM), 0};
  const int rc = WSAPoll(&pfd, 1, iMs);
  return rc > 0 ? 1 : rc;
}

bool ConnectSocket(GateSocket s, const sockaddr_in& addr, uint32_t dwWaitMs) {
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return SetSocketError(WSAGetLastError()), false;
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv{static_cast<long>(dwWaitMs / 1000), static_cast<long>(dwWaitMs % 1000) * 1000};
  const int rc = select(0, nullptr, &writable, &failed, &tv);
  if (rc == 0) return SetSocketError(WSAETIMEDOUT), false;
  int iErr = 0;
  int len = sizeof iErr;
  getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&iErr), &len);
  if (rc < 0 || FD_ISSET(s, &failed) || iErr != 0) return SetSocketError(iErr != 0 ? iErr : WSAECONNREFUSED), false;
  return true;
}

long SendSome(GateSocket s, const void* p, size_t n) {
  const int rc = send(s, static_cast<const char*>(p), static_cast<int>(n), 0);
  if (rc >= 0) return rc;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : (SetSocketError(WSAGetLastError()), -1);
}

long ReceiveSome(GateSocket s, void* p, size_t n, bool* pbClosed) {
  *pbClosed = false;
  const int rc = recv(s, static_cast<char*>(p), static_cast<int>(n), 0);
  if (rc > 0) return rc;
  if (rc == 0) return *pbClosed = true, 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : (SetSocketError(WSAGetLastError()), -1);
}

uint32_t SocketBytesWaiting(GateSocket s) {
  u_long uWaiting = 0;
  return ioctlsocket(s, FIONREAD, &uWaiting) == 0 ? static_cast<uint32_t>(uWaiting) : 0;
}

bool ParseIPv4(const char* pszHost, in_addr* pAddr) {
  if (strcmp(pszHost, "localhost") == 0) pszHost = "127.0.0.1";
  return InetPtonA(AF_INET, pszHost, pAddr) == 1;
}

uint64_t SocketNowMs() {
  return GetTickCount64();
}

#else

bool SocketsReady() {
  return true;
}

GateSocket OpenStreamSocket(int iKeepIdleS, int iKeepIntervalS, int iKeepCount) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fd;
  const int iOn = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &iOn, sizeof iOn);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &iKeepIdleS, sizeof iKeepIdleS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &iKeepIntervalS, sizeof iKeepIntervalS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &iKeepCount, sizeof iKeepCount);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iOn, sizeof iOn);
  return fd;
}

void CloseSocket(GateSocket s) {
  close(s);
}

int SocketError() {
  return errno;
}

void SetSocketError(int iErr) {
  errno = iErr;
}

int WaitSocket(GateSocket s, bool bWrite, int iMs) {
  for (;;) {
    pollfd pfd{s, static_cast<short>(bWrite ? POLLOUT : POLLIN), 0};
    const int rc = poll(&pfd, 1, iMs);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0 ? 1 : rc;
  }
}

bool ConnectSocket(GateSocket s, const sockaddr_in& addr, uint32_t dwWaitMs) {
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS) return false;
  const int rc = WaitSocket(s, true, static_cast<int>(dwWaitMs));
  if (rc == 0) errno = ETIMEDOUT;
  if (rc <= 0) return false;
  int iErr = 0;
  socklen_t len = sizeof iErr;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &iErr, &len) != 0) return false;
  errno = iErr;
  return iErr == 0;
}

long SendSome(GateSocket s, const void* p, size_t n) {
  for (;;) {
    const ssize_t rc = send(s, p, n, MSG_NOSIGNAL);
    if (rc >= 0) return rc;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

long ReceiveSome(GateSocket s, void* p, size_t n, bool* pbClosed) {
  *pbClosed = false;
  for (;;) {
    const ssize_t rc = recv(s, p, n, 0);
    if (rc > 0) return rc;
    if (rc == 0) return *pbClosed = true, 0;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

uint32_t SocketBytesWaiting(GateSocket s) {
  int iWaiting = 0;
  return ioctl(s, FIONREAD, &iWaiting) == 0 && iWaiting > 0 ? static_cast<uint32_t>(iWaiting) : 0;
}

bool ParseIPv4(const char* pszHost, in_addr* pAddr) {
  if (strcmp(pszHost, "localhost") == 0) pszHost = "127.0.0.1";
  return inet_pton(AF_INET, pszHost, pAddr) == 1;
}

uint64_t SocketNowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

#endif

}  // namespace sarn
