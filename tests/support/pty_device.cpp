// SPDX-License-Identifier: MIT
#include "tests/support/pty_device.hpp"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

pty_device::pty_device()
{
	EXPECT_TRUE(line_open_pty(line_)) << "cannot open a pseudo-terminal pair";
}

pty_device::~pty_device() { stop(); }

void pty_device::start(std::function<void(device_line &, const std::atomic<bool> &)> body)
{
	stop();
	stop_ = false;
	thread_ = std::thread([this, body = std::move(body)] { body(line_, stop_); });
}

void pty_device::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

std::string drain_master(device_line &line, int ms)
{
	std::string got;
	char chunk[512];
	for (;;) {
		ssize_t n = line_read(line, chunk, sizeof chunk, ms);
		if (n <= 0)
			return got;
		got.append(chunk, static_cast<std::size_t>(n));
	}
}

bool pend_input(device_line &line, std::string_view bytes)
{
	if (!line_write(line, bytes))
		return false;
	for (int tries = 0; tries < 200; ++tries) {
		int queued = 0;
		if (ioctl(line.slave_fd, TIOCINQ, &queued) == 0 && queued >= static_cast<int>(bytes.size()))
			return true;
		line_sleep_ms(5);
	}
	return false;
}
