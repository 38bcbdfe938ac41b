// Truncates ./out, and makes it where there is none.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	// Given at open, O_SYNC holds from the first write: each one returns
	// only once its data has reached the device.
	int fd = open("./out", O_WRONLY | O_SYNC | O_CREAT | O_TRUNC, 0644);
	if (fd < 0) {
		std::perror("Can't open ./out");
		std::exit(1);
	}

	copyloop(fd, true);
}
