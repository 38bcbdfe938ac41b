// ./out opened again by its name, with O_SYNC, and put in place.
#include <fcntl.h>
#include <unistd.h>

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

	// Only open gives O_SYNC. Opening the same file again through
	// /proc/self/fd makes a new open file description that has it, at
	// offset 0 as the old one still is; dup2 puts it where the copy
	// writes, in place of the old one.
	int sfd = open("./out", O_WRONLY | O_SYNC);
	if (sfd < 0 || dup2(sfd, fd) < 0) {
		std::perror("Can't open ./out again with O_SYNC");
		std::exit(1);
	}
	close(sfd);

	copyloop(fd, true);
}
