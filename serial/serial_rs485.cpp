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
	return ioctl(fd, TIOCSRS485, &rs485) < 0 ? -1 : 0;
}
