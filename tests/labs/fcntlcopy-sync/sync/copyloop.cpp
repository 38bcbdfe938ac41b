// Synchronous by sync() after every write.
#include "copyloop.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

void
copyloop(int fd, bool closeatend)
{
	constexpr char rerr[] = "read error\n";
	constexpr char werr[] = "write error\n";
	std::array<char, 512> buf;

	int n;
	while ((n = static_cast<int>(read(0, buf.data(), buf.size()))) > 0) {
		// Each write carries exactly what one read delivered; a short
		// write is a failure, and what it wrote stays written.
		if (write(fd, buf.data(), n) != static_cast<ssize_t>(n)) {
			std::fwrite(werr, 1, sizeof werr - 1, stderr);
			std::exit(1);
		}
		// Each write waits for the device here, since the flags cannot.
		sync();
	}
	if (n < 0) {
		std::fwrite(rerr, 1, sizeof rerr - 1, stderr);
		std::exit(1);
	}
	if (closeatend)
		close(fd);
	std::exit(0);
}
