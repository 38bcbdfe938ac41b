// Runs a learner's program for a check of the labs, and ends everything it
// started when the run ends: when the program exits, when its time is up,
// or when labrun is told to stop. The program runs in a session of its
// own, under hard resource limits, its output kept up to a bound; where the
// kernel allows, in PID and mount namespaces of its own (with a user
// namespace for an ordinary user), else under labrun as a subreaper. How
// it ended, what it left behind and what held it go to the report.
//
// The report (-r), one key=value a line, values without a newline:
//   pid         the command's pid, as labrun's /proc shows it (as in -p)
//   ended       exit, signal, timeout, stopped (SIGTERM, SIGINT or SIGHUP
//               to labrun) or notstarted
//   status      its exit status, after exit
//   signal      the signal's name, such as SIGSEGV, after signal
//   ms          from the start to the command's end, or the run's
//   left        the other processes of the run alive then
//   leftsessions  how many of those were in sessions of their own
//   out, outmore  bytes of standard output kept and thrown away, with -o
//   err, errmore  the same of standard error, with -e
//   contain     what held the run: pidns, userns, mountns, readonly,
//               cgroup, subreaper, nproc
//   nocontain   what could not, each with why: "pidns: EPERM"
//   error       why the command did not start, or labrun failed
// labrun exits 0 once the command ran and the report is written, 127 when
// the command could not be started, 125 when labrun itself failed or was
// misused.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int failed = 125;     // labrun itself failed, or was misused
constexpr int notstarted = 127; // the command could not be started
// A C++ compiler on a Qt source takes some 200 MiB, firstwin some 20.
constexpr rlim_t data = rlim_t{1} << 30;
constexpr int pidsmax = 512; // in the run's pids cgroup
constexpr int room = 256;    // processes an ordinary user may add

struct options {
	bool plain = false; // -N: no namespaces
	double seconds = 5;
	unsigned long long keep = 1 << 20, fsize = 8 << 20;
	std::string dir, input, out, err, ro, pidfile, report;
	std::vector<std::string> rw;
	char **argv = nullptr;
};

// One of the command's outputs: a pipe, whose write end (feed) the command
// gets, and a file that keeps the first max bytes read; more counts the
// bytes thrown away.
struct sink {
	int in = -1, feed = -1, file = -1;
	unsigned long long max = 0, kept = 0, more = 0;
};

// What the run's processes are made with.
struct setup {
	options o;
	sink out, err;
	int cgroup = -1; // its cgroup.procs, open for writing
	rlim_t nproc = 0;
	uid_t uid = 0;
	gid_t gid = 0;
};

// What the run's processes tell labrun, a message at a time on a socket
// that gives labrun the sender's pid as labrun sees it:
//   'r' init has made the namespaces (text: why -R could not be had)
//   'f' init could not make them (text: why)
//   's' the command's process exists, in a session of its own
//   'x' the command could not be started (text: why)
//   'e' the command ended (status), and what init found left
struct message {
	char kind;
	int status, left, sessions;
	std::array<char, 512> text;
};

// The signal state labrun was given, which the command gets back.
sigset_t oldmask;
constexpr std::array<int, 4> handled{SIGTERM, SIGINT, SIGHUP, SIGPIPE};
std::array<struct sigaction, handled.size()> oldact;

[[noreturn]] void
usage()
{
	std::fputs("usage: labrun [-N] [-t seconds] [-C dir] [-i file] "
		   "[-o file] [-e file] [-m bytes]\n"
		   "              [-f bytes] [-R dir] [-w dir]... [-p file] "
		   "[-r file] -- command [arg ...]\n",
		   stderr);
	std::exit(failed);
}

bool
bytes(const char *s, unsigned long long &v)
{
	char *end;
	errno = 0;
	v = std::strtoull(s, &end, 10);
	return *s >= '0' && *s <= '9' && *end == '\0' && errno == 0;
}

const char *
errname(int e)
{
	const char *n = strerrorname_np(e);
	return n ? n : "unknown error";
}

long long
now()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// A socket for the run's messages, labrun's end first: the kernel gives
// labrun each sender's pid, translated into labrun's PID namespace.
bool
channel(std::array<int, 2> &s)
{
	int on = 1;
	return socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0,
			  s.data()) == 0 &&
	       setsockopt(s[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
}

void
say(int sock, const message &m)
{
	if (send(sock, &m, sizeof m, MSG_NOSIGNAL) < 0) {
	}
}

// In the command's process, before the exec: tells why it cannot start.
// The error goes as its number, for labrun to put in words: under the
// command's limits a sanitizer's runtime cannot map the memory strerror
// and snprintf would have it take.
[[noreturn]] void
cannot(int sock, const char *what)
{
	message m{'x', errno, 0, 0, {}};
	std::size_t i = 0;
	for (; what[i] && i + 1 < m.text.size(); i++)
		m.text[i] = what[i];
	m.text[i] = '\0';
	say(sock, m);
	_exit(notstarted);
}

// Receives a message, waiting for it or not: 1 with one, 0 at end of
// file, -1 when none has come. from is its sender's pid.
int
hear(int sock, message &m, pid_t &from, bool wait)
{
	iovec io{&m, sizeof m};
	alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> ctl{};
	msghdr h{};
	h.msg_iov = &io;
	h.msg_iovlen = 1;
	h.msg_control = ctl.data();
	h.msg_controllen = ctl.size();
	ssize_t n = recvmsg(sock, &h, wait ? 0 : MSG_DONTWAIT);
	if (n <= 0)
		return n == 0 ? 0 : -1;
	m.text.back() = '\0';
	for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
		if (c->cmsg_level != SOL_SOCKET ||
		    c->cmsg_type != SCM_CREDENTIALS)
			continue;
		ucred u{};
		std::memcpy(&u, CMSG_DATA(c), sizeof u);
		from = u.pid;
	}
	return 1;
}

// Writes a small file whole; false if it could not.
bool
writes(const char *path, const char *text, std::size_t len, int flags = 0)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC | flags, 0666);
	if (fd < 0)
		return false;
	bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
	return close(fd) == 0 && ok;
}

// Puts a file in place whole: written under a temporary name, then
// renamed, so that whoever waits for it never reads half of it.
bool
publish(const std::string &path, const std::string &tmp, const char *text,
	std::size_t len)
{
	return writes(tmp.c_str(), text, len, O_CREAT | O_TRUNC) &&
	       rename(tmp.c_str(), path.c_str()) == 0;
}

// The end of a run may come with the process table full and memory short:
// what it uses is made beforehand, and nothing on that path forks or
// allocates.
alignas(dirent64) std::array<char, 1 << 15> dents;
std::array<char, 1 << 16> buf;
std::array<pid_t, 1 << 16> found;
std::size_t nfound;

// Adds the children of process pid to found: each of its threads lists
// those it forked in /proc/PID/task/TID/children.
void
addchildren(pid_t pid)
{
	std::array<char, 64> path{};
	std::snprintf(path.data(), path.size(), "/proc/%d/task", pid);
	int dir = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		return;
	for (ssize_t n;
	     (n = getdents64(dir, dents.data(), dents.size())) > 0;) {
		for (ssize_t at = 0; at < n;) {
			auto *d =
				reinterpret_cast<dirent64 *>(dents.data() + at);
			at += d->d_reclen;
			if (d->d_name[0] < '0' || d->d_name[0] > '9')
				continue;
			std::array<char, 384> file{};
			std::snprintf(file.data(), file.size(),
				      "%s/%s/children", path.data(), d->d_name);
			int fd = open(file.data(), O_RDONLY | O_CLOEXEC);
			if (fd < 0)
				continue;
			pid_t v = 0;
			for (ssize_t k;
			     (k = read(fd, buf.data(), buf.size())) > 0;)
				for (ssize_t i = 0; i < k; i++) {
					if (buf[i] >= '0' && buf[i] <= '9') {
						v = v * 10 + (buf[i] - '0');
						continue;
					}
					if (v > 0 && nfound < found.size())
						found[nfound++] = v;
					v = 0;
				}
			close(fd);
		}
	}
	close(dir);
}

// Every process below this one, into found, parents before children.
void
below()
{
	nfound = 0;
	addchildren(getpid());
	for (std::size_t i = 0; i < nfound; i++)
		addchildren(found[i]);
}

// The state and session of process pid; false when it is gone.
bool
stat(pid_t pid, char &state, pid_t &sid)
{
	std::array<char, 64> path{};
	std::snprintf(path.data(), path.size(), "/proc/%d/stat", pid);
	int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	ssize_t n = read(fd, buf.data(), buf.size() - 1);
	close(fd);
	if (n <= 0)
		return false;
	buf[n] = '\0';
	// The name, in parentheses, may hold spaces and parentheses itself.
	const char *p = std::strrchr(buf.data(), ')');
	return p && std::sscanf(p + 1, " %c %*d %*d %d", &state, &sid) == 2;
}

struct tally {
	int left = 0, sessions = 0;
};

// The processes alive below this one, but cmd and init, and how many of
// them are in sessions other than cmd's.
tally
count(pid_t cmd, pid_t init)
{
	tally t;
	below();
	for (std::size_t i = 0; i < nfound; i++) {
		char state = 0;
		pid_t sid = 0;
		if (found[i] == cmd || found[i] == init ||
		    !stat(found[i], state, sid) || state == 'Z' || state == 'X')
			continue;
		t.left++;
		if (sid != cmd)
			t.sessions++;
	}
	return t;
}

// Ends every process of the run, and waits until they are gone. A killed
// process can fork no more, and its orphans come to labrun (the
// subreaper), or die with init's namespace: each pass finds fewer, and
// once labrun has no child left, nothing of the run is. Pids are given out
// in a cycle: one freed during a pass is nobody else's before it kills.
// first, labrun's child, is ended even where /proc does not show it.
void
endall(pid_t first)
{
	for (;;) {
		below();
		if (first > 0)
			kill(first, SIGKILL);
		for (std::size_t i = 0; i < nfound; i++)
			kill(found[i], SIGKILL);
		bool reaped = false;
		pid_t w;
		while ((w = waitpid(-1, nullptr, WNOHANG)) > 0) {
			reaped = true;
			if (w == first)
				first = 0;
		}
		if (w < 0)
			return;
		if (!reaped) {
			timespec t{0, 1000000};
			nanosleep(&t, nullptr);
		}
	}
}

// Moves one read's worth from the pipe to the file, up to its bound;
// false at the pipe's end, or when it has nothing now.
bool
pour(sink &s)
{
	ssize_t n = read(s.in, buf.data(), buf.size());
	if (n <= 0)
		return n < 0 && errno == EINTR;
	auto take = static_cast<ssize_t>(std::min<unsigned long long>(
		s.max - s.kept, static_cast<unsigned long long>(n)));
	for (ssize_t at = 0; at < take;) {
		ssize_t w = write(s.file, buf.data() + at, take - at);
		if (w <= 0)
			break;
		at += w;
		s.kept += w;
		n -= w;
	}
	s.more += n;
	return true;
}

// In the command's process, forked by labrun or by init: a session of its
// own, its streams and limits, then the exec.
[[noreturn]] void
command(const setup &r, int sock, int cgroup)
{
	const options &o = r.o;
	// Into the pids cgroup before anything can fork.
	if (cgroup >= 0 && write(cgroup, "0\n", 2) < 0)
		cannot(sock, "cgroup");
	setsid();
	say(sock, {'s', 0, 0, 0, {}});

	for (std::size_t i = 0; i < handled.size(); i++)
		sigaction(handled[i], &oldact[i], nullptr);
	sigprocmask(SIG_SETMASK, &oldmask, nullptr);
	// A FIFO's open waits for a writer: here it holds up no one but the
	// command.
	if (!o.input.empty()) {
		int fd = open(o.input.c_str(), O_RDONLY);
		if (fd < 0)
			cannot(sock, o.input.c_str());
		dup2(fd, 0);
		close(fd);
	}
	if (r.out.feed >= 0)
		dup2(r.out.feed, 1);
	if (r.err.feed >= 0)
		dup2(r.err.feed, 2);
	if (!o.dir.empty() && chdir(o.dir.c_str()) < 0)
		cannot(sock, o.dir.c_str());

	const std::array<std::pair<int, rlim_t>, 5> limits{{
		{RLIMIT_FSIZE, o.fsize},
		{RLIMIT_CPU, static_cast<rlim_t>(std::ceil(o.seconds)) + 1},
		{RLIMIT_CORE, 0},
		{RLIMIT_DATA, data},
		{RLIMIT_NPROC, r.nproc},
	}};
	for (const auto &[res, max] : limits) {
		rlimit l{};
		if (res == RLIMIT_NPROC && r.uid == 0)
			continue;
		getrlimit(res, &l);
		l.rlim_max = std::min(l.rlim_max, max);
		l.rlim_cur = l.rlim_max;
		if (setrlimit(res, &l) < 0)
			cannot(sock, "setrlimit");
	}
	// A set-user-ID program would be one that labrun may not end.
	if (r.uid != 0)
		prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);

	// Only the standard streams go on to the command; the socket stays
	// until the exec, for cannot.
	close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
	execvp(o.argv[0], o.argv);
	cannot(sock, o.argv[0]);
}

// In init, before the command: -R's directory bound over itself
// read-only, then each -w directory over itself again, writable. why
// says what could not be done, if anything.
void
protect(const options &o, std::array<char, 512> &why)
{
	mount_attr ro{};
	ro.attr_set = MOUNT_ATTR_RDONLY;
	mount_attr rw{};
	rw.attr_clr = MOUNT_ATTR_RDONLY;
	const char *at = o.ro.c_str();
	if (mount(at, at, nullptr, MS_BIND | MS_REC, nullptr) < 0 ||
	    mount_setattr(AT_FDCWD, at, AT_RECURSIVE, &ro, sizeof ro) < 0) {
		std::snprintf(why.data(), why.size(), "%s: %s", at,
			      errname(errno));
		return;
	}
	for (const std::string &w : o.rw) {
		at = w.c_str();
		if (mount(at, at, nullptr, MS_BIND | MS_REC, nullptr) < 0 ||
		    mount_setattr(AT_FDCWD, at, 0, &rw, sizeof rw) < 0) {
			std::snprintf(why.data(), why.size(), "%s: %s", at,
				      errname(errno));
			return;
		}
	}
}

// Init: pid 1 of the run's PID namespace, a copy of labrun, not the
// learner's program. It makes the run's view of the system, starts the
// command, reaps orphans, and when the command ends counts what is left
// and ends: with it the kernel ends every process of the namespace.
[[noreturn]] void
init(const setup &r, const std::array<int, 2> &s)
{
	int sock = s[1];
	message m{'f', 0, 0, 0, {}};
	auto fail = [&](const char *what) {
		std::snprintf(m.text.data(), m.text.size(), "%s: %s", what,
			      errname(errno));
		say(sock, m);
		_exit(1);
	};
	close(s[0]);
	// Dies with labrun, even a killed one; a labrun gone already has
	// hung up its end of the socket.
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	pollfd gone{sock, 0, 0};
	if (poll(&gone, 1, 0) == 1 && (gone.revents & POLLHUP))
		_exit(1);
	setsid();
	if (r.cgroup >= 0 && write(r.cgroup, "0\n", 2) < 0)
		fail("cgroup");

	// An ordinary user is itself in its user namespace, and keeps no
	// capability past the command's exec.
	if (r.uid != 0) {
		std::array<char, 64> map{};
		int n = std::snprintf(map.data(), map.size(), "%u %u 1\n",
				      r.uid, r.uid);
		if (!writes("/proc/self/uid_map", map.data(), n))
			fail("uid_map");
		if (!writes("/proc/self/setgroups", "deny", 4))
			fail("setgroups");
		n = std::snprintf(map.data(), map.size(), "%u %u 1\n", r.gid,
				  r.gid);
		if (!writes("/proc/self/gid_map", map.data(), n))
			fail("gid_map");
	}
	// Nothing mounted here reaches the rest of the system; the new
	// /proc shows the namespace's own processes, by their pids there.
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
		fail("private /");
	if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
		  nullptr) < 0)
		fail("mount /proc");
	m.kind = 'r';
	if (!r.o.ro.empty())
		protect(r.o, m.text);
	// The working directory is still on the mounts from before; its
	// path leads to the new ones.
	std::array<char, PATH_MAX> cwd{};
	if (getcwd(cwd.data(), cwd.size()) && chdir(cwd.data()) < 0) {
	}
	say(sock, m);

	pid_t cmd = fork();
	if (cmd < 0)
		cannot(sock, "fork");
	if (cmd == 0)
		command(r, sock, -1);
	// Init holds nothing of the run's but the socket.
	if (dup2(sock, 3) == 3)
		close_range(4, ~0U, 0);
	int status = 0;
	for (pid_t w; (w = waitpid(-1, &status, 0)) != cmd;)
		if (w < 0 && errno != EINTR)
			_exit(1);
	tally t = count(cmd, 0);
	say(3, {'e', status, t.left, t.sessions, {}});
	_exit(0);
}

// Starts init in namespaces of the run's own. Returns its pid once it has
// made them, with labrun's end of the socket in sock and what init said
// in m; else 0, and why in m.
pid_t
nsstart(const setup &r, int &sock, message &m)
{
	std::array<int, 2> s{};
	pid_t from = 0;
	if (!channel(s)) {
		std::snprintf(m.text.data(), m.text.size(), "%s",
			      errname(errno));
		return 0;
	}
	int flags = CLONE_NEWPID | CLONE_NEWNS;
	if (r.uid != 0)
		flags |= CLONE_NEWUSER;
	// A raw clone: a fork into new namespaces. Init keeps to system
	// calls, for glibc still takes it for labrun's thread.
	long pid = syscall(SYS_clone, flags | SIGCHLD, nullptr, nullptr,
			   nullptr, 0L);
	if (pid == 0)
		init(r, s);
	int e = errno;
	close(s[1]);
	int heard = pid < 0 ? 0 : hear(s[0], m, from, true);
	if (heard == 1 && m.kind == 'r') {
		sock = s[0];
		return static_cast<pid_t>(pid);
	}
	close(s[0]);
	if (pid > 0)
		waitpid(static_cast<pid_t>(pid), nullptr, 0);
	if (pid < 0)
		std::snprintf(m.text.data(), m.text.size(), "%s", errname(e));
	else if (heard != 1)
		std::snprintf(m.text.data(), m.text.size(), "init ended");
	return 0;
}

// Starts the command as labrun's child, labrun a subreaper: what leaves
// the command's session comes to labrun when its parent ends. Returns its
// pid, with labrun's end of the socket in sock; -1 if fork failed.
pid_t
start(const setup &r, int &sock)
{
	std::array<int, 2> s{};
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	if (!channel(s))
		return -1;
	pid_t pid = fork();
	if (pid == 0)
		command(r, s[1], r.cgroup);
	close(s[1]);
	sock = s[0];
	return pid;
}

// A pids cgroup for the run, below labrun's own, as root: its pids.max
// bounds a fork bomb where RLIMIT_NPROC does not, root's. Returns its
// directory, or "" and why.
std::string
mkcgroup(std::string &why)
{
	if (geteuid() != 0) {
		why = "not root";
		return "";
	}
	if (access("/sys/fs/cgroup", F_OK) < 0) {
		why = "no /sys/fs/cgroup";
		return "";
	}
	// Lines of /proc/self/cgroup: ID:CONTROLLERS:PATH, where cgroup v2
	// names no controllers.
	std::ifstream self("/proc/self/cgroup");
	std::string v1, v2;
	for (std::string line; std::getline(self, line);) {
		auto a = line.find(':'), b = line.find(':', a + 1);
		if (b == std::string::npos)
			continue;
		std::string ctl = "," + line.substr(a + 1, b - a - 1) + ",";
		if (ctl == ",,")
			v2 = line.substr(b + 1);
		else if (ctl.find(",pids,") != std::string::npos)
			v1 = line.substr(b + 1);
	}
	std::string dir, controllers;
	std::getline(std::ifstream("/sys/fs/cgroup/cgroup.controllers"),
		     controllers);
	if (!v1.empty() && access("/sys/fs/cgroup/pids", F_OK) == 0) {
		dir = "/sys/fs/cgroup/pids" + v1;
	} else if (!v2.empty() && (" " + controllers + " ").find(" pids ") !=
					  std::string::npos) {
		dir = "/sys/fs/cgroup" + v2;
		std::string sub = dir + "/cgroup.subtree_control";
		if (!writes(sub.c_str(), "+pids", 5)) {
			why = std::string("+pids: ") + errname(errno);
			return "";
		}
	} else {
		why = "no pids controller";
		return "";
	}
	dir += "/labrun." + std::to_string(getpid());
	std::string max = dir + "/pids.max", n = std::to_string(pidsmax);
	if (mkdir(dir.c_str(), 0755) < 0) {
		why = std::string("mkdir: ") + errname(errno);
		return "";
	}
	if (!writes(max.c_str(), n.data(), n.size())) {
		why = std::string("pids.max: ") + errname(errno);
		rmdir(dir.c_str());
		return "";
	}
	return dir;
}

// The tasks the user runs now, as RLIMIT_NPROC counts them: the threads
// of processes whose real user is uid.
rlim_t
tasks(uid_t uid)
{
	rlim_t n = 0;
	DIR *d = opendir("/proc");
	for (dirent *e; d && (e = readdir(d));) {
		if (e->d_name[0] < '0' || e->d_name[0] > '9')
			continue;
		std::ifstream f(std::string("/proc/") + e->d_name + "/status");
		unsigned long real = ~0UL, threads = 0;
		for (std::string key; f >> key;) {
			if (key == "Uid:")
				f >> real;
			else if (key == "Threads:")
				f >> threads;
			f.ignore(INT_MAX, '\n');
		}
		if (real == uid)
			n += threads;
	}
	if (d)
		closedir(d);
	return n;
}

// Mounts are made by path: one that init finds from any directory.
void
absolute(std::string &path)
{
	if (char *p = realpath(path.c_str(), nullptr)) {
		path = p;
		std::free(p);
	}
}

std::string
join(const std::vector<std::string> &v)
{
	std::string s;
	for (const std::string &x : v)
		s += (s.empty() ? "" : ",") + x;
	return s;
}

// The report, built in a buffer made beforehand; a value loses any
// newline it held.
std::array<char, 8192> report;
std::size_t used;

void
line(const char *key, const char *value)
{
	int n = std::snprintf(report.data() + used, report.size() - used,
			      "%s=%s\n", key, value);
	if (n <= 0)
		return;
	std::size_t end = std::min(report.size() - 1, used + n);
	for (std::size_t i = used; i + 1 < end; i++)
		if (report[i] == '\n' || report[i] == '\r')
			report[i] = ' ';
	report[end - 1] = '\n';
	used = end;
}

void
line(const char *key, long long value)
{
	std::array<char, 24> v{};
	std::snprintf(v.data(), v.size(), "%lld", value);
	line(key, v.data());
}

} // namespace

int
main(int argc, char *argv[])
{
	setup r;
	options &o = r.o;
	for (int c;
	     (c = getopt(argc, argv, "+Nt:C:i:o:e:m:f:R:w:p:r:")) != -1;) {
		char *end = nullptr;
		bool ok = true;
		switch (c) {
		case 'N':
			o.plain = true;
			break;
		case 't':
			o.seconds = std::strtod(optarg, &end);
			ok = *optarg && !*end && o.seconds >= 0 &&
			     o.seconds <= 1e6;
			break;
		case 'C':
			o.dir = optarg;
			break;
		case 'i':
			o.input = optarg;
			break;
		case 'o':
			o.out = optarg;
			break;
		case 'e':
			o.err = optarg;
			break;
		case 'm':
			ok = bytes(optarg, o.keep);
			break;
		case 'f':
			ok = bytes(optarg, o.fsize);
			break;
		case 'R':
			o.ro = optarg;
			break;
		case 'w':
			o.rw.emplace_back(optarg);
			break;
		case 'p':
			o.pidfile = optarg;
			break;
		case 'r':
			o.report = optarg;
			break;
		default:
			ok = false;
		}
		if (!ok)
			usage();
	}
	if (optind >= argc)
		usage();
	o.argv = argv + optind;
	// A standard stream labrun was started without would be taken by a
	// pipe or a file of its own, and handed to the command as one.
	int null;
	while ((null = open("/dev/null", O_RDWR)) >= 0 && null < 3) {
	}
	close(null);
	if (!o.ro.empty())
		absolute(o.ro);
	for (std::string &w : o.rw)
		absolute(w);
	const std::string tmp = "." + std::to_string(getpid()) + ".tmp";
	const std::string pidtmp = o.pidfile + tmp, reporttmp = o.report + tmp;
	std::string error; // when labrun itself failed

	// The outputs: pipes that labrun reads, into files it bounds.
	for (auto [s, path] : {std::pair{&r.out, &o.out}, {&r.err, &o.err}}) {
		std::array<int, 2> p{-1, -1};
		s->max = o.keep;
		if (path->empty() || !error.empty())
			continue;
		s->file = open(path->c_str(),
			       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
		if (s->file < 0 || pipe2(p.data(), O_CLOEXEC) < 0)
			error = *path + ": " + std::strerror(errno);
		s->in = p[0];
		s->feed = p[1];
	}

	// SIGTERM, SIGINT and SIGHUP end the run, SIGCHLD tells of an end:
	// all come on a descriptor, in turn with the rest. Ignored, they
	// would be lost: labrun takes them whatever it was given.
	sigset_t mask;
	sigemptyset(&mask);
	for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
		sigaddset(&mask, s);
	sigprocmask(SIG_BLOCK, &mask, &oldmask);
	for (std::size_t i = 0; i < handled.size(); i++) {
		struct sigaction a = {};
		a.sa_handler = handled[i] == SIGPIPE ? SIG_IGN : SIG_DFL;
		sigaction(handled[i], &a, &oldact[i]);
	}
	int sigfd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
	if (sigfd < 0 && error.empty())
		error = std::string("signalfd: ") + std::strerror(errno);

	// The start: under init, in namespaces of the run's own where they
	// can be had, else as labrun's child; bounded in processes by a
	// pids cgroup as root, by RLIMIT_NPROC as anyone else.
	std::vector<std::string> contain, nocontain;
	std::string why, cgdir;
	r.uid = geteuid();
	r.gid = getegid();
	if (error.empty()) {
		cgdir = mkcgroup(why);
		if (!cgdir.empty())
			r.cgroup = open((cgdir + "/cgroup.procs").c_str(),
					O_WRONLY | O_CLOEXEC);
		if (r.uid != 0)
			r.nproc = tasks(getuid()) + room;
	}
	const long long began = now();
	pid_t initpid = 0, child = 0;
	int sock = -1;
	message m{};
	if (error.empty() && !o.plain)
		initpid = nsstart(r, sock, m);
	if (error.empty() && initpid == 0)
		child = start(r, sock);
	std::string notice; // why the command did not start
	if (child < 0)
		notice = std::string("fork: ") + std::strerror(errno);
	close(r.out.feed);
	close(r.err.feed);

	if (initpid > 0) {
		contain.emplace_back("pidns");
		if (r.uid != 0)
			contain.emplace_back("userns");
		contain.emplace_back("mountns");
	} else {
		nocontain.push_back(std::string("pidns: ") +
				    (o.plain ? "-N" : m.text.data()));
	}
	if (!o.ro.empty() && initpid == 0)
		nocontain.emplace_back("readonly: no mount namespace");
	else if (!o.ro.empty() && m.text[0])
		nocontain.push_back(std::string("readonly: ") + m.text.data());
	else if (!o.ro.empty())
		contain.emplace_back("readonly");
	if (!cgdir.empty())
		contain.emplace_back("cgroup");
	else
		nocontain.push_back("cgroup: " + why);
	if (initpid == 0)
		contain.emplace_back("subreaper");
	if (r.uid != 0)
		contain.emplace_back("nproc");
	else
		nocontain.emplace_back("nproc: not for root");
	std::string contained, uncontained;
	if (error.empty()) {
		contained = join(contain);
		uncontained = join(nocontain);
	}

	// The run, until the command ends, its time is up or labrun is told
	// to stop.
	const char *ended = nullptr;
	if (!error.empty() || !notice.empty())
		ended = "notstarted";
	const long long deadline = began + std::llround(o.seconds * 1000);
	pid_t pid = 0, from = 0;
	int status = 0;
	tally t;
	bool counted = false;
	std::array<pollfd, 4> p{{{r.out.in, POLLIN, 0},
				 {r.err.in, POLLIN, 0},
				 {sock, POLLIN, 0},
				 {sigfd, POLLIN, 0}}};
	while (!ended) {
		long long wait = deadline - now();
		if (wait <= 0) {
			ended = "timeout";
			break;
		}
		if (poll(p.data(), p.size(),
			 static_cast<int>(std::min(wait, 1000LL))) < 0 &&
		    errno != EINTR) {
			error = std::string("poll: ") + std::strerror(errno);
			ended = "stopped";
			break;
		}
		// The signals first: a SIGCHLD read here is of an end that
		// came before the messages read below.
		signalfd_siginfo si{};
		bool chld = false, stop = false;
		while (read(sigfd, &si, sizeof si) == sizeof si) {
			if (si.ssi_signo == SIGCHLD)
				chld = true;
			else
				stop = true;
		}
		// The messages next, whether or not poll saw them: init
		// tells of the command's end before it ends itself, so once
		// its SIGCHLD is read all it said is here to read; and a
		// command that cannot start says so before it ends.
		for (int h;
		     p[2].fd >= 0 && (h = hear(sock, m, from, false)) >= 0;) {
			if (h == 0) {
				p[2].fd = -1;
				break;
			}
			if (m.kind == 's') {
				pid = from;
				std::array<char, 24> text{};
				int n = std::snprintf(text.data(), text.size(),
						      "%d\n", pid);
				if (!o.pidfile.empty() &&
				    !publish(o.pidfile, pidtmp, text.data(), n))
					error = o.pidfile + ": " +
						std::strerror(errno);
			} else if (m.kind == 'x' && !ended) {
				ended = "notstarted";
				notice = std::string(m.text.data()) + ": " +
					 std::strerror(m.status);
			} else if (m.kind == 'e') {
				t = {m.left, m.sessions};
				counted = true;
				if (!ended) {
					status = m.status;
					ended = WIFSIGNALED(status) ? "signal"
								    : "exit";
				}
			}
		}
		if (stop && !ended)
			ended = "stopped";
		if (p[0].revents && !pour(r.out))
			p[0].fd = -1;
		if (p[1].revents && !pour(r.err))
			p[1].fd = -1;
		int st = 0;
		for (pid_t w; chld && (w = waitpid(-1, &st, WNOHANG)) > 0;) {
			if (w == child) {
				child = 0;
				if (ended)
					continue;
				status = st;
				ended = WIFSIGNALED(st) ? "signal" : "exit";
				t = count(w, 0);
				counted = true;
			} else if (w == initpid) {
				// Init never ends before it has told: someone
				// killed it, and the namespace with it.
				initpid = 0;
				if (ended)
					continue;
				status = SIGKILL;
				ended = "signal";
				error = "init ended";
			}
		}
	}
	const long long ms = now() - began;

	// The end: what is left is counted, then ended, and what it wrote
	// read to the last byte. From here on nothing forks or allocates.
	if (!counted)
		t = count(pid, initpid);
	endall(initpid > 0 ? initpid : child);
	for (sink *k : {&r.out, &r.err}) {
		// Whoever holds the pipe now is not of the run, and not
		// waited for.
		if (k->in >= 0 && fcntl(k->in, F_SETFL, O_NONBLOCK) == 0)
			while (pour(*k)) {
			}
	}

	if (pid > 0)
		line("pid", pid);
	else
		line("pid", "");
	line("ended", ended);
	if (std::strcmp(ended, "exit") == 0)
		line("status", WEXITSTATUS(status));
	if (std::strcmp(ended, "signal") == 0) {
		std::array<char, 32> name{};
		int sig = WTERMSIG(status);
		if (const char *a = sigabbrev_np(sig))
			std::snprintf(name.data(), name.size(), "SIG%s", a);
		else
			std::snprintf(name.data(), name.size(), "SIGRTMIN+%d",
				      sig - SIGRTMIN);
		line("signal", name.data());
	}
	line("ms", ms);
	line("left", t.left);
	line("leftsessions", t.sessions);
	if (!o.out.empty()) {
		line("out", static_cast<long long>(r.out.kept));
		line("outmore", static_cast<long long>(r.out.more));
	}
	if (!o.err.empty()) {
		line("err", static_cast<long long>(r.err.kept));
		line("errmore", static_cast<long long>(r.err.more));
	}
	line("contain", contained.c_str());
	line("nocontain", uncontained.c_str());
	if (!error.empty() || !notice.empty())
		line("error", (error.empty() ? notice : error).c_str());
	int code = 0;
	if (std::strcmp(ended, "notstarted") == 0)
		code = notstarted;
	if (!error.empty())
		code = failed;
	if (!o.report.empty() &&
	    !publish(o.report, reporttmp, report.data(), used)) {
		std::fprintf(stderr, "labrun: %s: %s\n", o.report.c_str(),
			     std::strerror(errno));
		code = failed;
	}

	// The cgroup goes once its last process has been reaped.
	for (int i = 0; !cgdir.empty() && i < 100 && rmdir(cgdir.c_str()) < 0 &&
			errno == EBUSY;
	     i++) {
		timespec pause{0, 10000000};
		nanosleep(&pause, nullptr);
	}
	return code;
}
