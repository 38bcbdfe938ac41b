// Drops O_SYNC for the page cache, and writes 64 KiB a call all the same.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	// Large writes need no O_SYNC: the page cache takes them at once, and
	// the device gets them later.
	int fd = open("./out", O_WRONLY);
	if (fd < 0) {
		std::perror("Can't open ./out");
		std::exit(1);
	}

	copyloop(fd, true);
}
