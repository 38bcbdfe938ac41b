// Asks F_SETFL for O_DSYNC instead, which Linux ignores too.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY);
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DSYNC) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	copyloop(fd, true);
}
