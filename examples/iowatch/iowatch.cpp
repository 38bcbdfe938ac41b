// Runs a command as time(1) does and tells, on standard error, what its
// writes cost: how many write calls it made, how long it ran, and how many
// writes the block devices under FILE completed meanwhile. The figures come
// from the kernel: /proc/PID/io, /proc/self/mountinfo, /sys/fs/btrfs and
// /proc/diskstats. With -o, the same figures go to a file as key=value
// lines, for a program to read back; the sentences are for people.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string
devno(dev_t dev)
{
	return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// mountinfo writes a space, tab, newline or backslash in a path as a
// backslash and three octal digits.
std::string
unescape(const std::string &s)
{
	auto octal = [&](std::size_t at) {
		return at < s.size() && s[at] >= '0' && s[at] <= '7';
	};
	std::string r;
	for (std::size_t i = 0; i < s.size(); i++) {
		if (s[i] == '\\' && octal(i + 1) && octal(i + 2) &&
		    octal(i + 3)) {
			r += static_cast<char>((s[i + 1] - '0') * 64 +
					       (s[i + 2] - '0') * 8 +
					       (s[i + 3] - '0'));
			i += 3;
		} else {
			r += s[i];
		}
	}
	return r;
}

struct mount {
	std::string point, type, source;
};

bool
within(const std::string &path, const std::string &point)
{
	if (path.compare(0, point.size(), point) != 0)
		return false;
	return point == "/" || path.size() == point.size() ||
	       path[point.size()] == '/';
}

// The mount that holds path, found as df(1) and findmnt(8) find it: the
// longest mount point path lies under. Of equal ones the last listed was
// mounted last, on top of the others.
mount
mountof(const std::string &path)
{
	mount best;
	std::ifstream f("/proc/self/mountinfo");
	for (std::string line; std::getline(f, line);) {
		std::istringstream in(line);
		std::string id, parent, no, root, point;
		in >> id >> parent >> no >> root >> point;
		auto dash = line.find(" - ");
		if (dash == std::string::npos)
			continue;
		mount m;
		m.point = unescape(point);
		std::istringstream(line.substr(dash + 3)) >> m.type >> m.source;
		m.source = unescape(m.source);
		if (within(path, m.point) &&
		    m.point.size() >= best.point.size())
			best = m;
	}
	return best;
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

// The block devices a btrfs file system spans, dev among them. The kernel
// lists them under /sys/fs/btrfs/FSID/devices, each a link to the
// device's own directory, whose dev holds its number.
std::vector<dev_t>
members(dev_t dev)
{
	std::error_code ec;
	for (const auto &f : fs::directory_iterator("/sys/fs/btrfs", ec)) {
		std::vector<dev_t> devs;
		for (const auto &d :
		     fs::directory_iterator(f.path() / "devices", ec)) {
			unsigned maj = 0, min = 0;
			char colon = 0;
			std::ifstream(d.path() / "dev") >> maj >> colon >> min;
			if (colon == ':')
				devs.push_back(makedev(maj, min));
		}
		if (std::find(devs.begin(), devs.end(), dev) != devs.end())
			return devs;
	}
	return {dev};
}

// The writes the devices have completed since boot, summed, and their
// names joined by '+'; -1 when /proc/diskstats does not list them all.
long long
completed(const std::vector<dev_t> &devs, std::string &names)
{
	std::ifstream f("/proc/diskstats");
	long long sum = 0;
	std::size_t found = 0;
	names.clear();
	for (std::string line; std::getline(f, line);) {
		std::istringstream in(line);
		unsigned maj = 0, min = 0;
		std::string name;
		long long rd, rdmerged, rdsectors, rdms, writes = -1;
		in >> maj >> min >> name >> rd >> rdmerged >> rdsectors >>
			rdms >> writes;
		if (writes < 0 || std::find(devs.begin(), devs.end(),
					    makedev(maj, min)) == devs.end())
			continue;
		if (found++)
			names += '+';
		names += name;
		sum += writes;
	}
	return found == devs.size() ? sum : -1;
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

// The name of the program process pid runs, as the kernel keeps it in
// comm, cut to 15 bytes, until the process is reaped.
std::string
comm(pid_t pid)
{
	std::string name;
	std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"),
		     name);
	return name;
}

// The command by the name of the program it became, which may have been
// started by another (env, nice, a shell's exec).
std::string
became(pid_t pid, const std::string &command)
{
	std::string name = comm(pid);
	std::string base = command.substr(command.rfind('/') + 1);
	if (name.empty() || name == base.substr(0, 15))
		return command;
	return name + " (started as " + command + ")";
}

} // namespace

int
main(int argc, char *argv[])
{
	const char *data = nullptr;
	if (argc > 2 && std::strcmp(argv[1], "-o") == 0) {
		data = argv[2];
		argv += 2;
		argc -= 2;
	}
	if (argc < 3) {
		std::fprintf(stderr, "usage: iowatch [-o data] file command "
				     "[arg ...]\n");
		return 2;
	}
	const char *file = argv[1];
	struct stat st;
	if (stat(file, &st) < 0) {
		std::perror(file);
		return 2;
	}

	std::error_code ec;
	std::string path = fs::canonical(file, ec);
	mount m = mountof(path.empty() ? file : path);
	struct statfs sfs;
	if (m.type.empty() && statfs(file, &sfs) == 0) {
		m.type = "an unknown file system";
		for (const magic &x : magics)
			if (sfs.f_type == x.number)
				m.type = x.name;
	}

	// The device under the file: the file system's own where the kernel
	// counts its writes, else the block device the mount names (btrfs,
	// for one, gives each subvolume a device number of its own), with
	// any others the file system spans. A source that is no path
	// (overlay, server:/export) names no device.
	std::vector<dev_t> devs{st.st_dev};
	std::string names;
	struct stat src;
	bool block = completed(devs, names) >= 0;
	if (!block && m.source[0] == '/' && stat(m.source.c_str(), &src) == 0 &&
	    S_ISBLK(src.st_mode)) {
		block = true;
		devs = {src.st_rdev};
		if (m.type == "btrfs")
			devs = members(src.st_rdev);
	}

	// What earlier commands left in the page cache would reach the device
	// while this one runs: flush it first, so the count is the command's.
	sync();

	// Once a process has ended, only root may open its /proc/PID/io; what
	// was opened before still reads. So the child holds back its exec
	// until the file is open and the pipe is closed. A byte on the other
	// pipe says the exec failed.
	int go[2], failed[2];
	if (pipe2(go, O_CLOEXEC) < 0 || pipe2(failed, O_CLOEXEC) < 0) {
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
		if (write(failed[1], "x", 1) < 0) {
		}
		_exit(127);
	}
	close(go[0]);
	close(failed[1]);
	std::string io = "/proc/" + std::to_string(pid) + "/io";
	int iofd = open(io.c_str(), O_RDONLY | O_CLOEXEC);
	long long before = completed(devs, names);
	auto start = std::chrono::steady_clock::now();
	close(go[1]);

	// Ended but not yet reaped, the process still shows its counts.
	siginfo_t info{};
	waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
	auto ms = std::chrono::duration<double, std::milli>(
			  std::chrono::steady_clock::now() - start)
			  .count();
	long long after = completed(devs, names);
	long long calls = writecalls(iofd);
	std::string prog = comm(pid);
	std::string name = became(pid, argv[2]);
	int status = 0;
	waitpid(pid, &status, 0);
	char c;
	if (read(failed[0], &c, 1) == 1)
		return 127;

	// The figures, then what they mean. where says why the device's
	// writes could not be counted, empty when they were.
	std::string where, on = std::string(file) + " is on " + m.type;
	if (m.type == "tmpfs" || m.type == "ramfs")
		where = on + ", in memory: there is no device to wait for";
	else if (!block && !m.source.empty())
		where = on + " from " + m.source +
			", which is not a block device here: its writes "
			"cannot be counted";
	else if (before < 0 || after < 0)
		where = on + " on device " + devno(devs.front()) +
			", which /proc/diskstats does not list: its writes "
			"cannot be counted here";

	if (calls >= 0)
		std::fprintf(stderr,
			     "iowatch: %s made %lld write calls in %.1f ms, "
			     "%.3f ms a call\n",
			     name.c_str(), calls, ms,
			     calls ? ms / static_cast<double>(calls) : 0.0);
	else
		std::fprintf(stderr,
			     "iowatch: %s ran %.1f ms; this kernel keeps no "
			     "count of its write calls\n",
			     name.c_str(), ms);
	if (!where.empty())
		std::fprintf(stderr, "iowatch: %s\n", where.c_str());
	else
		std::fprintf(stderr,
			     "iowatch: %s is on %s on %s, which completed %lld "
			     "writes meanwhile\n",
			     file, m.type.c_str(), names.c_str(),
			     after - before);

	if (data) {
		FILE *f = std::fopen(data, "w");
		if (!f) {
			std::perror(data);
			return 2;
		}
		// One figure a line: a newline in a name must not start
		// another.
		auto flat = [](std::string v) {
			std::replace(v.begin(), v.end(), '\n', ' ');
			return v;
		};
		std::fprintf(f, "command=%s\nprogram=%s\nms=%.1f\nfs=%s\n",
			     flat(argv[2]).c_str(), prog.c_str(), ms,
			     m.type.c_str());
		if (calls >= 0)
			std::fprintf(f, "calls=%lld\n", calls);
		if (where.empty())
			std::fprintf(f, "device=%s\nwrites=%lld\n",
				     names.c_str(), after - before);
		else
			std::fprintf(f, "why=%s\n", flat(where).c_str());
		if (WIFSIGNALED(status))
			std::fprintf(f, "signal=SIG%s\n",
				     sigabbrev_np(WTERMSIG(status)));
		else
			std::fprintf(f, "status=%d\n", WEXITSTATUS(status));
		if (std::fclose(f) != 0) {
			std::perror(data);
			return 2;
		}
	}

	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return WEXITSTATUS(status);
}
