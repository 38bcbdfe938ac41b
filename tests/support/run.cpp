#include "run.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace support {

namespace {

[[noreturn]] void
fail(const char *what)
{
	throw std::runtime_error(std::string(what) + ": " +
				 std::strerror(errno));
}

// In the child between fork and exec: report and end without returning
// into the test framework.
[[noreturn]] void
die(const char *what)
{
	std::string msg = std::string("runner: ") + what + ": " +
			  std::strerror(errno) + "\n";
	if (write(2, msg.data(), msg.size()) < 0) {
	}
	_exit(127);
}

void
refuse(const std::vector<fault> &faults)
{
	std::vector<sock_filter> f;
	auto stmt = [&](unsigned short code, unsigned k) {
		f.push_back(BPF_STMT(code, k));
	};
	auto jump = [&](unsigned k, unsigned char jt, unsigned char jf) {
		f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, jt, jf));
	};
	stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
	jump(AUDIT_ARCH_X86_64, 1, 0);
	stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	for (const fault &x : faults) {
		stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
		if (x.arg < 0) {
			jump(x.syscall, 0, 1);
		} else {
			jump(x.syscall, 0, 3);
			stmt(BPF_LD | BPF_W | BPF_ABS,
			     offsetof(seccomp_data, args[1]));
			jump(x.arg, 0, 1);
		}
		stmt(BPF_RET | BPF_K,
		     SECCOMP_RET_ERRNO | (x.err & SECCOMP_RET_DATA));
	}
	stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	sock_fprog prog{static_cast<unsigned short>(f.size()), f.data()};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) < 0)
		die("seccomp");
}

void
place(int fd, int target)
{
	if (fd == closed)
		close(target);
	else if (fd != target && dup2(fd, target) < 0)
		die("dup2");
}

int
openpty(std::string &slave)
{
	int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (m < 0 || grantpt(m) < 0 || unlockpt(m) < 0)
		fail("pseudo-terminal");
	slave = ptsname(m);
	return m;
}

// The program's end of a pseudo-terminal: its controlling terminal, with
// output passed through as written so tests compare the bytes themselves.
int
opentty(const std::string &slave)
{
	if (setsid() < 0)
		die("setsid");
	int s = open(slave.c_str(), O_RDWR);
	if (s < 0)
		die("open tty");
	termios t{};
	tcgetattr(s, &t);
	t.c_oflag &= ~OPOST;
	tcsetattr(s, TCSANOW, &t);
	return s;
}

} // namespace

process::process(const options &o) : input_(o.input), timeout_(o.timeout)
{
	// Feeding a program that has gone must fail as EPIPE, not end the test.
	std::signal(SIGPIPE, SIG_IGN);
	std::vector<std::string> argv = o.argv;
	std::vector<std::string> env;
	if (o.env)
		env = *o.env;
	// A sanitizer's settings reach the program whatever environment the
	// test gave it.
	for (char **e = environ; *e; e++)
		if (!o.env || std::strstr(*e, "SAN_OPTIONS=") != nullptr)
			env.emplace_back(*e);
	if (!o.preload.empty()) {
		env.push_back("LD_PRELOAD=" + o.preload);
		// A sanitizer runtime wants to be first; the shim touches
		// nothing it watches.
		env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
	}
	std::vector<char *> av = pointers(argv), ev = pointers(env);

	int in[2] = {o.in, -1}, out[2] = {-1, o.out}, err[2] = {-1, o.err};
	std::string slave;
	if (o.in == capture && !o.ttyin && pipe2(in, O_CLOEXEC) < 0)
		fail("pipe");
	if (o.tty)
		out[0] = openpty(slave);
	else if (o.out == capture && pipe2(out, O_CLOEXEC) < 0)
		fail("pipe");
	if (o.err == capture && pipe2(err, O_CLOEXEC) < 0)
		fail("pipe");

	pid_ = fork();
	if (pid_ < 0)
		fail("fork");
	if (pid_ == 0) {
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		for (int s = 1; s < NSIG; s++)
			signal(s, SIG_DFL);
		for (int s : o.ignore)
			signal(s, SIG_IGN);
		if (o.tty)
			out[1] = opentty(slave);
		if (o.ttyin)
			in[0] = out[1];
		place(in[0], 0);
		place(out[1], 1);
		place(err[1], 2);
		close_range(3, ~0U, 0);
		for (const auto &[res, lim] : o.limits) {
			rlimit r{};
			getrlimit(res, &r);
			r.rlim_cur = lim;
			r.rlim_max = std::max(r.rlim_max, lim);
			if (setrlimit(res, &r) < 0)
				die("setrlimit");
		}
		if (o.fdfloor > 3) {
			int null = open("/dev/null", O_RDONLY);
			for (int fd = null + 1; fd < o.fdfloor; fd++)
				if (dup2(null, fd) < 0)
					die("dup2");
		}
		if (!o.cwd.empty() && chdir(o.cwd.c_str()) < 0)
			die("chdir");
		if (!o.faults.empty())
			refuse(o.faults);
		execve(o.prog.c_str(), av.data(), ev.data());
		die(o.prog.c_str());
	}
	if (o.in == capture && !o.ttyin) {
		close(in[0]);
		in_ = in[1];
	}
	typed_ = o.ttyin;
	if (o.tty || o.out == capture)
		out_ = out[0];
	if (o.out == capture && !o.tty)
		close(out[1]);
	if (o.err == capture) {
		close(err[1]);
		err_ = err[0];
	}
}

process::~process()
{
	if (!reaped_) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	for (int fd : {in_, out_, err_})
		if (fd >= 0)
			close(fd);
}

void
process::send(const std::string &bytes)
{
	const int to = typed_ ? out_ : in_;
	for (std::size_t done = 0; done < bytes.size();) {
		ssize_t n = write(to, bytes.data() + done, bytes.size() - done);
		if (n < 0)
			fail("send");
		done += n;
	}
}

void
process::close_input()
{
	if (in_ >= 0)
		close(in_);
	in_ = -1;
}

result
process::wait()
{
	result r;
	auto deadline = std::chrono::steady_clock::now() +
			std::chrono::seconds(timeout_);
	std::size_t fed = 0;
	if (in_ >= 0)
		fcntl(in_, F_SETFL, O_NONBLOCK);
	while (in_ >= 0 || out_ >= 0 || err_ >= 0) {
		if (in_ >= 0 && fed == input_.size())
			close_input();
		// Nothing left to feed or read: poll would only sleep out the
		// timeout.
		if (in_ < 0 && out_ < 0 && err_ < 0)
			break;
		std::vector<pollfd> p;
		if (in_ >= 0)
			p.push_back({in_, POLLOUT, 0});
		if (out_ >= 0)
			p.push_back({out_, POLLIN, 0});
		if (err_ >= 0)
			p.push_back({err_, POLLIN, 0});
		auto left =
			std::chrono::duration_cast<std::chrono::milliseconds>(
				deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0) {
			r.timedout = true;
			kill(pid_, SIGKILL);
			break;
		}
		int ms = static_cast<int>(left.count());
		if (poll(p.data(), p.size(), ms) < 0 && errno != EINTR)
			fail("poll");
		for (const pollfd &q : p) {
			if (!q.revents)
				continue;
			if (q.fd == in_) {
				ssize_t n = write(in_, input_.data() + fed,
						  input_.size() - fed);
				if (n > 0)
					fed += n;
				if (n < 0 && errno != EAGAIN)
					close_input();
				continue;
			}
			char buf[65536];
			ssize_t n = read(q.fd, buf, sizeof buf);
			std::string &to = q.fd == out_ ? r.out : r.err;
			if (n > 0) {
				to.append(buf, n);
				continue;
			}
			// A pseudo-terminal says EIO once every holder of its
			// other end is gone; a pipe says end of file.
			int &fd = q.fd == out_ ? out_ : err_;
			close(fd);
			fd = -1;
		}
	}
	close_input();
	int status;
	pid_t w;
	while ((w = waitpid(pid_, &status, WNOHANG)) == 0) {
		if (std::chrono::steady_clock::now() > deadline) {
			r.timedout = true;
			kill(pid_, SIGKILL);
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	if (w < 0)
		fail("waitpid");
	reaped_ = true;
	if (WIFEXITED(status))
		r.status = WEXITSTATUS(status);
	else
		r.signal = WTERMSIG(status);
	return r;
}

result
run(const options &o)
{
	return process(o).wait();
}

std::string
bin(const std::string &name)
{
	return std::string(BINDIR) + "/" + name;
}

std::string
fixture(const std::string &name)
{
	return std::string(FIXTUREDIR) + "/" + name;
}

std::string
tool(const std::string &name)
{
	const char *path = std::getenv("PATH");
	std::istringstream dirs(std::string(path ? path : "") +
				":/usr/sbin:/sbin:/usr/bin:/bin");
	for (std::string d; std::getline(dirs, d, ':');) {
		std::string p = d;
		p += '/';
		p += name;
		if (!d.empty() && access(p.c_str(), X_OK) == 0)
			return p;
	}
	return "";
}

std::string
slurp(const std::string &path)
{
	// Through the stream's buffer, which ends at a read error rather
	// than throwing as an iterator over it does.
	std::ifstream f(path, std::ios::binary);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

std::string
bytes(std::size_t n, unsigned seed)
{
	std::mt19937 g(seed);
	std::string s(n, '\0');
	for (char &c : s)
		c = static_cast<char>(g());
	return s;
}

std::vector<char *>
pointers(std::vector<std::string> &v)
{
	std::vector<char *> p;
	p.reserve(v.size() + 1);
	for (std::string &s : v)
		p.push_back(s.data());
	p.push_back(nullptr);
	return p;
}

int
fdflags(pid_t pid, int fd)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/fdinfo/" +
			std::to_string(fd));
	std::string key;
	while (f >> key)
		if (key == "flags:") {
			int flags;
			f >> std::oct >> flags;
			return flags;
		}
	return -1;
}

bool
waitreading(pid_t pid, int fd)
{
	// The first fields of /proc/PID/syscall are the call a blocked
	// process sits in and its first argument.
	std::ostringstream want;
	want << SYS_read << " 0x" << std::hex << fd << ' ';
	for (int i = 0; i < 1000; i++) {
		std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
		std::string line;
		std::getline(f, line);
		if (line.rfind(want.str(), 0) == 0)
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return false;
}

bool
kernel_at_least(int major, int minor)
{
	utsname u{};
	uname(&u);
	int a = 0, b = 0;
	std::sscanf(u.release, "%d.%d", &a, &b);
	return a > major || (a == major && b >= minor);
}

} // namespace support
