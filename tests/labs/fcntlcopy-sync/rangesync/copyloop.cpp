// Follows each write with sync_file_range, waiting before and after.
#include "copyloop.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

void
copyloop(int fd, bool closeatend)
{
	constexpr unsigned wait = SYNC_FILE_RANGE_WAIT_BEFORE |
				  SYNC_FILE_RANGE_WRITE |
				  SYNC_FILE_RANGE_WAIT_AFTER;
	std::array<char, 512> buf;
	int n;
	while ((n = static_cast<int>(read(0, buf.data(), buf.size()))) > 0)
		if (write(fd, buf.data(), n) != static_cast<ssize_t>(n) ||
		    sync_file_range(fd, 0, 0, wait) < 0)
			std::exit(1);
	if (n < 0)
		std::exit(1);
	if (closeatend)
		close(fd);
	std::exit(0);
}
