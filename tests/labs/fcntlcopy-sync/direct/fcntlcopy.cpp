// Asks F_SETFL for O_DIRECT instead: no cache, yet no O_SYNC.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY);
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	copyloop(fd, true);
}
