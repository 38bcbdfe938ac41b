// Opens ./out again with O_SYNC, but the copy still writes to the old
// descriptor.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY);
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_SYNC) < 0) {
		std::perror("fcntl");
		std::exit(1);
	}
	char path[32];
	std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
	if (open(path, O_WRONLY | O_SYNC) < 0) {
		std::perror(path);
		std::exit(1);
	}
	copyloop(fd, true);
}
