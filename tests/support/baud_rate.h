/* SPDX-License-Identifier: MIT */
/*
 * The rate in bits per second that a speed_t stands for, for the preload
 * library (C) and the tests (C++) alike.
 *
 * Up to glibc 2.41 a speed_t is a code (B9600 is 015) kept in c_cflag; from
 * 2.42 on it is the rate itself (B9600 is 9600), kept in fields of its own.
 * The speeds are read through cfgetispeed/cfgetospeed, which know where the
 * C library keeps them, and compared as rates, so that a library built
 * against one glibc and a test built against another still agree (the board
 * build's library is built against an older glibc than it may run on).
 */
#ifndef TESTS_SUPPORT_BAUD_RATE_H
#define TESTS_SUPPORT_BAUD_RATE_H

#include <termios.h>

static inline unsigned long baud_rate(speed_t speed)
{
	static const struct {
		speed_t code;
		unsigned long rate;
	} rates[] = {
	    {B0, 0},
	    {B50, 50},
	    {B75, 75},
	    {B110, 110},
	    {B134, 134},
	    {B150, 150},
	    {B200, 200},
	    {B300, 300},
	    {B600, 600},
	    {B1200, 1200},
	    {B1800, 1800},
	    {B2400, 2400},
	    {B4800, 4800},
	    {B9600, 9600},
	    {B19200, 19200},
	    {B38400, 38400},
	    {B57600, 57600},
	    {B115200, 115200},
	    {B230400, 230400},
	    {B460800, 460800},
	    {B500000, 500000},
	    {B576000, 576000},
	    {B921600, 921600},
	    {B1000000, 1000000},
	    {B1152000, 1152000},
	    {B1500000, 1500000},
	    {B2000000, 2000000},
	    {B2500000, 2500000},
	    {B3000000, 3000000},
	    {B3500000, 3500000},
	    {B4000000, 4000000},
	};
	for (unsigned i = 0; i < sizeof rates / sizeof rates[0]; ++i)
		if (rates[i].code == speed)
			return rates[i].rate;
	/* No constant names it: from glibc 2.42 on, a rate of its own. */
	return speed;
}

#endif
