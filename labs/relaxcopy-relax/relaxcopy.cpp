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
	// O_SYNC is two bits, one of them O_DSYNC: the mask clears both. Linux
	// ignores both in F_SETFL, so an O_SYNC standard output keeps them.
	if (fcntl(STDOUT_FILENO, F_SETFL, flags & ~O_SYNC) < 0) {
		std::perror("Can't set file descriptor flags");
		std::exit(1);
	}

	// Standard output belongs to whoever started us: left open.
	copyloop(STDOUT_FILENO, false);
}
