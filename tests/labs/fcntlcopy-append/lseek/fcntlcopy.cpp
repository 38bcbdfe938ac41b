// Moves the offset to the end once, with lseek, instead of appending.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int fd = open("./out", O_WRONLY);
	if (fd < 0 || lseek(fd, 0, SEEK_END) < 0) {
		std::perror("./out");
		std::exit(1);
	}
	copyloop(fd, true);
}
