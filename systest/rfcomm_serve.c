// SPDX-License-Identifier: MIT
// The guest's far end of a Bluetooth serial link, for the board test:
//
//   rfcomm_serve CHANNEL COMMAND [ARG]...
//
// listens on RFCOMM CHANNEL of every local controller and hands each
// connection, one at a time, to a new COMMAND as its descriptor 3 (a
// simulator started with -F 3), waiting for it to end before the next
// connection is taken. A simulator served this way sees the bytes as they
// left the tty, with none of a tty's own echo or line settings in between,
// and a run that closes its end ends the simulator. Returns once it is
// listening; the serving goes on in the background until it is killed,
// which also ends the COMMAND it serves.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// From the kernel's Bluetooth headers, which the cross toolchain lacks.
#define BTPROTO_RFCOMM 3
struct sockaddr_rc {
	sa_family_t rc_family;
	uint8_t rc_bdaddr[6];
	uint8_t rc_channel;
};

static volatile pid_t child;

static void end(int sig)
{
	if (child > 0)
		kill(child, SIGTERM);
	_exit(128 + sig);
}

int main(int argc, char *argv[])
{
	if (argc < 3) {
		fputs("usage: rfcomm_serve CHANNEL COMMAND [ARG]...\n", stderr);
		return 2;
	}
	int s = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
	struct sockaddr_rc addr = {AF_BLUETOOTH, {0}, (uint8_t)atoi(argv[1])};
	if (s < 0 || bind(s, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(s, 8) != 0) {
		fprintf(stderr, "rfcomm_serve: channel %s: %s\n", argv[1], strerror(errno));
		return 1;
	}
	pid_t pid = fork();
	if (pid != 0)
		return pid < 0;
	signal(SIGTERM, end);
	for (;;) {
		int c = accept(s, NULL, NULL);
		if (c < 0)
			continue;
		child = fork();
		if (child == 0) {
			// The listening socket goes, whichever number it has.
			if (s != 3)
				close(s);
			if (dup2(c, 3) < 0)
				_exit(127);
			if (c != 3)
				close(c);
			execvp(argv[2], argv + 2);
			_exit(127);
		}
		close(c);
		while (child > 0 && waitpid(child, NULL, 0) < 0 && errno == EINTR)
			;
		child = 0;
	}
}
