// Reopens standard output by the name it has in the tour, ./out: the file
// it was given is another.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	int flags = fcntl(STDOUT_FILENO, F_GETFL, 0);
	if (flags < 0) {
		std::perror("Can't get file descriptor flags");
		std::exit(1);
	}
	if (flags & O_DSYNC) {
		int fd = open("./out", (flags & ~O_SYNC) | O_CREAT, 0666);
		off_t at = lseek(STDOUT_FILENO, 0, SEEK_CUR);
		if (fd < 0 || (at > 0 && lseek(fd, at, SEEK_SET) < 0) ||
		    dup2(fd, STDOUT_FILENO) < 0) {
			std::perror("Can't reopen standard output");
			std::exit(1);
		}
		close(fd);
	}

	copyloop(STDOUT_FILENO, false);
}
