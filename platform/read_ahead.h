// What a port has read from its device or connection and not yet
// delivered: one system read takes whatever has arrived, up to the buffer's
// size, and the exact counts callers ask for are served from here. The
// buffered bytes count as waiting input and are what the next read
// delivers first. Plain data; nothing is allocated.
#pragma once

#include <cstdint>
#include <cstring>

namespace sarn {

// More than the longest reply (521 characters) and a flush's 512-byte chunk.
inline constexpr uint32_t kReadAheadSize = 1024;

struct ReadAhead {
  uint32_t dwPos;  // next buffered byte to deliver
  uint32_t dwEnd;  // end of the buffered bytes
  char buf[kReadAheadSize];
};

inline uint32_t AheadBuffered(const ReadAhead& ahead) {
  return ahead.dwEnd - ahead.dwPos;
}

// The buffer holds the first n bytes of buf, just read into it.
inline void AheadFilled(ReadAhead* pAhead, uint32_t n) {
  pAhead->dwPos = 0;
  pAhead->dwEnd = n;
}

// Delivers up to dwWant buffered bytes into pOut; how many.
inline uint32_t TakeAhead(ReadAhead* pAhead, char* pOut, uint32_t dwWant) {
  uint32_t n = AheadBuffered(*pAhead);
  if (n > dwWant) n = dwWant;
  memcpy(pOut, pAhead->buf + pAhead->dwPos, n);
  pAhead->dwPos += n;
  if (pAhead->dwPos == pAhead->dwEnd) pAhead->dwPos = pAhead->dwEnd = 0;
  return n;
}

}  // namespace sarn
