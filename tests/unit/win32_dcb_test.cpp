// How the Windows platform writes a line into a DCB, checked with a record
// of the DCB's fields (bit-fields where the DCB has them) on any system.
#include "platform/win32_dcb.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct FakeDcb {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t fBinary : 1;
  uint32_t fParity : 1;
  uint32_t fOutxCtsFlow : 1;
  uint32_t fOutxDsrFlow : 1;
  uint32_t fDtrControl : 2;
  uint32_t fDsrSensitivity : 1;
  uint32_t fTXContinueOnXoff : 1;
  uint32_t fOutX : 1;
  uint32_t fInX : 1;
  uint32_t fErrorChar : 1;
  uint32_t fNull : 1;
  uint32_t fRtsControl : 2;
  uint32_t fAbortOnError : 1;
  uint32_t fDummy2 : 17;
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;
};

// A DCB as a port might report it, with every flag the line turns off on.
FakeDcb OddDcb() {
  FakeDcb dcb{};
  dcb.BaudRate = 300;
  dcb.fBinary = 0;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 1;
  dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 1;
  dcb.fTXContinueOnXoff = 1;
  dcb.XonLim = 7;
  dcb.XoffLim = 9;
  dcb.XonChar = 0x11;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = 'e';
  dcb.ErrorChar = 'x';
  return dcb;
}

TEST(Win32DcbTest, TheLineIsSetAndEveryTranslationAndFlowFlagCleared) {
  sarn::PlatLine line;
  line.dwBaudRate = 19200;
  line.cByteSize = 7;
  line.cParity = sarn::kParityMark;
  line.cStopBits = sarn::kStopTwo;
  line.cDtrMode = sarn::kDtrHandshake;
  line.cRtsMode = sarn::kRtsToggle;
  FakeDcb dcb = OddDcb();
  sarn::LineToDcb(line, &dcb);

  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, 3);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.fDtrControl, 2u);
  EXPECT_EQ(dcb.fRtsControl, 3u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutX | dcb.fInX | dcb.fErrorChar | dcb.fNull | dcb.fAbortOnError, 0u);
  EXPECT_EQ(static_cast<uint8_t>(dcb.ErrorChar), 0xFC);
  // What the line does not name stays as the port had it.
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
  EXPECT_EQ(dcb.XonLim, 7);
  EXPECT_EQ(dcb.XoffLim, 9);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, 'e');

  const sarn::PlatLine back = sarn::LineFromDcb(dcb);
  EXPECT_EQ(back.dwBaudRate, line.dwBaudRate);
  EXPECT_EQ(back.cByteSize, line.cByteSize);
  EXPECT_EQ(back.cParity, line.cParity);
  EXPECT_EQ(back.cStopBits, line.cStopBits);
  EXPECT_EQ(back.cDtrMode, line.cDtrMode);
  EXPECT_EQ(back.cRtsMode, line.cRtsMode);
}

}  // namespace
