// Runs a command as time(1) does and tells, on standard error, what its
// writes cost: how many write calls it made, how long it ran, and how many
// writes the block device under FILE completed meanwhile. The figures come
// from the kernel: /proc/PID/io, /proc/self/mountinfo and /proc/diskstats.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string
devno(dev_t dev)
{
	return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The type and source of the mount that holds dev, as the kernel lists it.
void
mountof(dev_t dev, std::string &type, std::string &source)
{
	std::ifstream f("/proc/self/mountinfo");
	for (std::string line; std::getline(f, line);) {
		std::istringstream in(line);
		std::string id, parent, no;
		in >> id >> parent >> no;
		auto dash = line.find(" - ");
		if (no == devno(dev) && dash != std::string::npos) {
			std::istringstream(line.substr(dash + 3)) >> type >>
				source;
			return;
		}
	}
}

// A file system known by the magic number statfs reports, for where the
// mount table does not show the mount (inside a chroot, for one).
struct magic {
	long number;
	const char *name;
};
constexpr std::array<magic, 6> magics{{
	{0xef53, "ext2/3/4"},
	{0x01021994, "tmpfs"},
	{0x9123683e, "btrfs"},
	{0x58465342, "xfs"},
	{0x794c7630, "overlay"},
	{0xf2f52010, "f2fs"},
}};

// The writes dev has completed since boot, and its name; -1 when
// /proc/diskstats does not list it.
long long
completed(dev_t dev, std::string &name)
{
	std::ifstream f("/proc/diskstats");
	for (std::string line; std::getline(f, line);) {
		std::istringstream in(line);
		unsigned maj = 0, min = 0;
		long long rd, rdmerged, rdsectors, rdms, writes = -1;
		in >> maj >> min >> name >> rd >> rdmerged >> rdsectors >>
			rdms >> writes;
		if (maj == major(dev) && min == minor(dev))
			return writes;
	}
	return -1;
}

// The write calls a process has made, from its /proc/PID/io open as fd;
// -1 where the kernel keeps no such count.
long long
writecalls(int fd)
{
	std::array<char, 1024> buf{};
	ssize_t n = pread(fd, buf.data(), buf.size(), 0);
	std::istringstream in(std::string(buf.data(), n > 0 ? n : 0));
	std::string key;
	long long calls;
	while (in >> key >> calls)
		if (key == "syscw:")
			return calls;
	return -1;
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: iowatch file command [arg ...]\n");
		return 2;
	}
	const char *file = argv[1];
	struct stat st;
	if (stat(file, &st) < 0) {
		std::perror(file);
		return 2;
	}

	// The device under the file: the file system's own, or the block
	// device its mount names (btrfs, for one, gives files a device
	// number of its own).
	std::string type, source, name;
	mountof(st.st_dev, type, source);
	struct statfs fs;
	if (type.empty() && statfs(file, &fs) == 0) {
		type = "an unknown file system";
		for (const magic &m : magics)
			if (fs.f_type == m.number)
				type = m.name;
	}
	dev_t dev = st.st_dev;
	struct stat src;
	if (completed(dev, name) < 0 && stat(source.c_str(), &src) == 0 &&
	    S_ISBLK(src.st_mode))
		dev = src.st_rdev;

	// What earlier commands left in the page cache would reach the device
	// while this one runs: flush it first, so the count is the command's.
	sync();

	// Once a process has ended, only root may open its /proc/PID/io; what
	// was opened before still reads. So the child holds back its exec
	// until the file is open and the pipe is closed.
	int go[2];
	if (pipe2(go, O_CLOEXEC) < 0) {
		std::perror("pipe");
		return 2;
	}
	pid_t pid = fork();
	if (pid < 0) {
		std::perror("fork");
		return 2;
	}
	if (pid == 0) {
		char c;
		close(go[1]);
		if (read(go[0], &c, 1) == 0)
			execvp(argv[2], argv + 2);
		std::perror(argv[2]);
		_exit(127);
	}
	close(go[0]);
	std::string io = "/proc/" + std::to_string(pid) + "/io";
	int iofd = open(io.c_str(), O_RDONLY | O_CLOEXEC);
	long long before = completed(dev, name);
	auto start = std::chrono::steady_clock::now();
	close(go[1]);

	// Ended but not yet reaped, the process still shows its counts.
	siginfo_t info{};
	waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
	auto ms = std::chrono::duration<double, std::milli>(
			  std::chrono::steady_clock::now() - start)
			  .count();
	long long after = completed(dev, name);
	long long calls = writecalls(iofd);
	int status = 0;
	waitpid(pid, &status, 0);

	if (calls >= 0)
		std::fprintf(stderr,
			     "iowatch: %s made %lld write calls in %.1f ms, "
			     "%.3f ms a call\n",
			     argv[2], calls, ms,
			     calls ? ms / static_cast<double>(calls) : 0.0);
	else
		std::fprintf(stderr,
			     "iowatch: %s ran %.1f ms; this kernel keeps no "
			     "count of its write calls\n",
			     argv[2], ms);
	if (type == "tmpfs" || type == "ramfs")
		std::fprintf(stderr,
			     "iowatch: %s is on %s, in memory: there is no "
			     "device to wait for\n",
			     file, type.c_str());
	else if (before < 0 || after < 0)
		std::fprintf(stderr,
			     "iowatch: %s is on %s on device %s, which "
			     "/proc/diskstats does not list: its writes "
			     "cannot be counted here\n",
			     file, type.c_str(), devno(dev).c_str());
	else
		std::fprintf(stderr,
			     "iowatch: %s is on %s on %s, which completed %lld "
			     "writes meanwhile\n",
			     file, type.c_str(), name.c_str(), after - before);

	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return WEXITSTATUS(status);
}
