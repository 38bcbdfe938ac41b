// Asks open for O_APPEND, and F_SETFL keeps it.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY | O_APPEND);
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_APPEND) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	copyloop(fd, true);
}
