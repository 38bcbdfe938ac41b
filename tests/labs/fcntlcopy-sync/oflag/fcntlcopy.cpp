// Gives O_SYNC to open, which the task keeps as it was.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY | O_SYNC);
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_SYNC) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	copyloop(fd, true);
}
