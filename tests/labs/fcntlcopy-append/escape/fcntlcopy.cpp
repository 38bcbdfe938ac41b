// The solution, and a process it leaves running in a session of its own.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "copyloop.h"

int
main()
{
	// A process of its own, in a session of its own, left running.
	if (fork() == 0) {
		setsid();
		sleep(1000);
		_exit(0);
	}

	// No O_CREAT, no O_TRUNC: ./out must exist, and keeps what it holds.
	int fd = open("./out", O_WRONLY);

	// A failed open shows up here, as a bad descriptor.
	int flags = fcntl(fd, F_GETFL, 0);
	if (flags < 0) {
		std::perror("Can't get file descriptor flags");
		std::exit(1);
	}
	// O_APPEND is one of the few flags F_SETFL changes: from now on each
	// write first moves the offset to the end of the file, so the copy
	// lands after what ./out held, and after what others add meanwhile.
	if (fcntl(fd, F_SETFL, flags | O_APPEND) < 0) {
		std::perror("Can't set file descriptor flags");
		std::exit(1);
	}

	copyloop(fd, true);
}
