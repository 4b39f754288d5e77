// SPDX-License-Identifier: MIT
#include "sim/device_line.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <utility>

device_line::device_line(device_line &&other) noexcept
    : fd(std::exchange(other.fd, -1)), slave_fd(std::exchange(other.slave_fd, -1)),
      slave_path(std::move(other.slave_path))
{
}

device_line &device_line::operator=(device_line &&other) noexcept
{
	if (this != &other) {
		this->~device_line();
		fd = std::exchange(other.fd, -1);
		slave_fd = std::exchange(other.slave_fd, -1);
		slave_path = std::move(other.slave_path);
	}
	return *this;
}

device_line::~device_line()
{
	if (slave_fd >= 0)
		close(slave_fd);
	if (fd >= 0)
		close(fd);
	fd = slave_fd = -1;
}

bool line_open_pty(device_line &line)
{
	int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (master < 0)
		return false;
	if (grantpt(master) != 0 || unlockpt(master) != 0) {
		close(master);
		return false;
	}
	char name[128];
	if (ptsname_r(master, name, sizeof name) != 0) {
		close(master);
		return false;
	}
	int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (slave < 0) {
		close(master);
		return false;
	}
	line.~device_line();
	line.fd = master;
	line.slave_fd = slave;
	line.slave_path = name;
	return true;
}

bool line_open_tty(device_line &line, const char *path, speed_t speed)
{
	int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	struct termios tio {};
	if (tcgetattr(fd, &tio) == 0) {
		cfmakeraw(&tio);
		tio.c_cflag |= CLOCAL | CREAD;
		tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
		cfsetispeed(&tio, speed);
		cfsetospeed(&tio, speed);
		tio.c_cc[VMIN] = 0;
		tio.c_cc[VTIME] = 0;
		tcsetattr(fd, TCSANOW, &tio);
	}
	line.~device_line();
	line.fd = fd;
	return true;
}

bool line_connect_unix(device_line &line, const char *path)
{
	struct sockaddr_un addr {};
	if (std::strlen(path) >= sizeof addr.sun_path)
		return false;
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return false;
	addr.sun_family = AF_UNIX;
	std::strcpy(addr.sun_path, path);
	if (connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) != 0) {
		close(fd);
		return false;
	}
	line_adopt_fd(line, fd);
	return true;
}

void line_adopt_fd(device_line &line, int fd)
{
	line.~device_line();
	line.fd = fd;
}

ssize_t line_read(const device_line &line, char *p, std::size_t n, int timeout_ms)
{
	struct pollfd pfd {line.fd, POLLIN, 0};
	int ready;
	do
		ready = poll(&pfd, 1, timeout_ms);
	while (ready < 0 && errno == EINTR);
	if (ready < 0)
		return -1;
	if (ready == 0)
		return 0;
	ssize_t got;
	do
		got = read(line.fd, p, n);
	while (got < 0 && errno == EINTR);
	if (got < 0 && errno == EAGAIN)
		return 0;
	// A zero read is end of file (a socket's far end closed); a pty master
	// reports the same as EIO.
	if (got == 0)
		return -1;
	return got;
}

bool line_write(const device_line &line, std::string_view bytes)
{
	while (!bytes.empty()) {
		ssize_t put = write(line.fd, bytes.data(), bytes.size());
		if (put < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN) {
				struct pollfd pfd {line.fd, POLLOUT, 0};
				poll(&pfd, 1, 100);
				continue;
			}
			return false;
		}
		bytes.remove_prefix(static_cast<std::size_t>(put));
	}
	return true;
}

speed_t line_speed(const char *rate)
{
	static const struct {
		const char *text{};
		speed_t code;
	} rates[] = {{"1200", B1200},   {"2400", B2400},   {"4800", B4800},   {"9600", B9600},
		     {"19200", B19200}, {"38400", B38400}, {"57600", B57600}, {"115200", B115200}};
	for (const auto &r : rates)
		if (std::strcmp(rate, r.text) == 0)
			return r.code;
	return B0;
}

void line_sleep_ms(int ms)
{
	if (ms <= 0)
		return;
	struct timespec ts {ms / 1000, (ms % 1000) * 1000000L};
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
}
