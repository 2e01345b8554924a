// How a line becomes a Win32 DCB (device-control block), and back.
//
// Written over the DCB's field names rather than the type, so that it builds
// without <windows.h> and the unit tests can check it with a record of the
// same fields on any system.
#pragma once

#include <cstdint>

#include "platform/serial_platform.h"

namespace sarn {

// Character a DCB carries for received characters with parity errors; the
// port never asks for the replacement, so it is without effect.
inline constexpr char kDcbErrorChar = static_cast<char>(0xFC);

// Sets the line in a DCB read from the port: speed, framing and the DTR and
// RTS modes as asked, binary mode with parity checking, and every flow
// control, translation and abort flag off. The fields not named here (the
// XON/XOFF limits and characters, EofChar, EvtChar, fTXContinueOnXoff) keep
// what the port holds.
template <typename Dcb>
void LineToDcb(const PlatLine& line, Dcb* pDcb) {
  pDcb->BaudRate = line.dwBaudRate;
  pDcb->ByteSize = line.cByteSize;
  pDcb->Parity = line.cParity;
  pDcb->StopBits = line.cStopBits;
  pDcb->fBinary = 1;
  pDcb->fParity = 1;
  pDcb->fOutxCtsFlow = 0;
  pDcb->fOutxDsrFlow = 0;
  pDcb->fDtrControl = line.cDtrMode;
  pDcb->fDsrSensitivity = 0;
  pDcb->fOutX = 0;
  pDcb->fInX = 0;
  pDcb->fErrorChar = 0;
  pDcb->fNull = 0;
  pDcb->fRtsControl = line.cRtsMode;
  pDcb->fAbortOnError = 0;
  pDcb->ErrorChar = kDcbErrorChar;
}

template <typename Dcb>
PlatLine LineFromDcb(const Dcb& dcb) {
  PlatLine line;
  line.dwBaudRate = static_cast<uint32_t>(dcb.BaudRate);
  line.cByteSize = static_cast<uint8_t>(dcb.ByteSize);
  line.cParity = static_cast<uint8_t>(dcb.Parity);
  line.cStopBits = static_cast<uint8_t>(dcb.StopBits);
  line.cDtrMode = static_cast<uint8_t>(dcb.fDtrControl);
  line.cRtsMode = static_cast<uint8_t>(dcb.fRtsControl);
  return line;
}

}  // namespace sarn
