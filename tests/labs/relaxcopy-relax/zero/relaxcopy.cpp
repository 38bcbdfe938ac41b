// Sets the flags to O_WRONLY alone: F_SETFL clears O_APPEND so, but not O_SYNC.
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
	// Nothing but the access mode: every other flag goes.
	if (fcntl(STDOUT_FILENO, F_SETFL, O_WRONLY) < 0) {
		std::perror("Can't set file descriptor flags");
		std::exit(1);
	}

	// Standard output belongs to whoever started us: left open.
	copyloop(STDOUT_FILENO, false);
}
