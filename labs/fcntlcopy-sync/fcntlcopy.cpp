#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	// No O_CREAT, no O_TRUNC: the copy overwrites ./out from its start
	// and leaves whatever lies past the end of it.
	int fd = open("./out", O_WRONLY);

	// A failed open shows up here, as a bad descriptor.
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0) {
		std::perror("Can't get file descriptor flags");
		std::exit(1);
	}
	// Linux ignores O_SYNC in F_SETFL: the call succeeds, the flags stay
	// as they were, and the writes are not synchronous.
	if (fcntl(fd, F_SETFL, flags | O_SYNC) < 0) {
		std::perror("Can't set file descriptor flags");
		std::exit(1);
	}

	copyloop(fd, true);
}
