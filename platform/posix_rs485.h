// RS-485 transmit direction by the Linux kernel.
//
// Serial drivers of embedded UARTs (8250, i.MX, OMAP, STM32, ...) can switch
// an RS-485 transceiver themselves: asked through TIOCSRS485, they raise RTS
// when transmission starts and lower it once the last stop bit has left,
// with optional delays before and after. That is exact where user-space
// toggling is only as exact as the scheduler. Devices without it (a
// pseudo-terminal, most USB adapters, which switch direction in hardware)
// refuse the request, and the caller keeps toggling RTS itself.
#pragma once

#include <linux/serial.h>

namespace sarn {

// A device's RS-485 settings before the request, to give back on close.
struct Rs485Saved {
  bool bActive = false;  // the kernel switches RTS on this device now
  serial_rs485 previous{};
};

// The settings asked of a device that has `current`: RS-485 on, RTS raised
// while sending and low after it, the own transmission not received back;
// the delays and other fields as the device has them (a board's device tree
// may have set delays its transceiver needs).
serial_rs485 Rs485Wanted(const serial_rs485& current);

// Whether settings the device reports after the request switch RTS as asked.
// A kernel may accept the call and change what it cannot do (a UART that
// only drives the other polarity): that is no use and counts as refused.
bool Rs485AsAsked(const serial_rs485& reported);

// Asks the kernel to switch RTS on the tty fd. True when it does so now; the
// previous settings are then in *pSaved. False when the device cannot (errno
// tells why; ENOTTY for a pseudo-terminal), with the device left as it was.
bool Rs485Enable(int fd, Rs485Saved* pSaved);

// Gives the device back its previous settings, if Rs485Enable changed them.
bool Rs485Restore(int fd, Rs485Saved* pSaved);

}  // namespace sarn
