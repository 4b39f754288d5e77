// SPDX-License-Identifier: MIT
// RS-485 mode lives in a file of its own so that a tool that never asks for
// it does not link it in.
#include "serial/serial_port.hpp"

#include <linux/serial.h>
#include <sys/ioctl.h>

int serial_set_rs485(int fd)
{
	struct serial_rs485 rs485 {};
	rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
	rs485.delay_rts_before_send = 0;
	rs485.delay_rts_after_send = 0;
	if (ioctl(fd, TIOCSRS485, &rs485) < 0)
		return -1;
	// The driver hands back the settings it took, and may take less than
	// it was asked for without an error: an i.MX UART whose pins give it no
	// RTS (Linux 5.10) clears SER_RS485_ENABLED and returns 0. The frame
	// would then go out with nothing switching the transceiver, and no
	// reply could come back: that is a refusal too. Anything else the
	// driver changed (its own choice of RTS levels, clamped delays) is its
	// to decide.
	return (rs485.flags & SER_RS485_ENABLED) != 0 ? 0 : -1;
}
