// Stops a program at its end, before it exits, for a check to look at
// what it holds then: its descriptors are all still open, and gone a
// moment later. Loaded with LD_PRELOAD, it runs as the program exits
// (returns from main or calls exit), in the first process of the program
// STOPATEXIT names, not in the children it forks: it makes the file
// STOPPED names, then stops itself with SIGSTOP, until whoever looks sends
// SIGCONT. Anywhere else it does nothing.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string
comm(const std::string &pid)
{
	std::string name;
	std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
	return name;
}

} // namespace

__attribute__((destructor)) static void
stop()
{
	const char *name = std::getenv("STOPATEXIT");
	const char *file = std::getenv("STOPPED");
	if (!name || !file || comm("self") != name ||
	    comm(std::to_string(getppid())) == name)
		return;
	int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		return;
	close(fd);
	raise(SIGSTOP);
}
