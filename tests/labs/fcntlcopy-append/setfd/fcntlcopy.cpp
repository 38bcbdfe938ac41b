// Hands O_APPEND to F_SETFD, which sets descriptor flags, not status flags.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY);
	int flags = fcntl(fd, F_GETFD, 0);
	if (flags < 0 || fcntl(fd, F_SETFD, flags | O_APPEND) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	copyloop(fd, true);
}
