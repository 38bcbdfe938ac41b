// Runs a built program as a real process and captures what it did.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace support {

// Where one of the program's standard streams goes, besides a descriptor
// of the test's own.
constexpr int capture = -1; // a pipe read (or, for input, fed) by the runner
constexpr int closed = -2;  // not open at all

// A system call the kernel refuses with err, set up with seccomp just
// before the exec. With arg >= 0 only calls whose second argument equals
// it are refused (the command of fcntl, for instance).
struct fault {
	long syscall;
	int err;
	long arg = -1;
};

struct options {
	options(std::string p, std::vector<std::string> v)
	    : prog(std::move(p)), argv(std::move(v))
	{
	}

	std::string prog;              // path of the program
	std::vector<std::string> argv; // the whole vector, argument zero too
	std::string cwd;               // empty: the test's own
	std::optional<std::vector<std::string>> env; // unset: the test's own
	std::string input; // fed on a pipe when in is capture
	int in = capture;
	int out = capture;
	int err = capture;
	bool tty = false;   // standard output on a pseudo-terminal, captured;
	bool ttyin = false; // with tty, standard input there too: send() types
	bool hold = false;  // input open for send() until wait()
	std::vector<std::pair<int, rlim_t>> limits; // resource, soft limit
	std::vector<int> ignore;   // signals the program starts with ignored
	std::vector<fault> faults; // refused system calls
	std::string preload;       // a shim put in LD_PRELOAD
	int fdfloor = 0;           // the program's first free descriptor
	int timeout = 20;          // seconds before the program is killed
};

struct result {
	std::string out;
	std::string err;
	int status = -1; // exit status, or -1 when a signal ended it
	int signal = 0;  // the signal that ended it
	bool timedout = false;
};

class process
{
public:
	explicit process(const options &o);
	~process();
	process(const process &) = delete;
	process &operator=(const process &) = delete;

	pid_t pid() const { return pid_; }
	void send(const std::string &bytes);
	void close_input();
	result wait();

private:
	pid_t pid_ = -1;
	int in_ = -1, out_ = -1, err_ = -1;
	bool typed_ = false; // send() types on the terminal, out_
	std::string input_;
	int timeout_;
	bool reaped_ = false;
};

result run(const options &o);

// Whether the programs under test carry AddressSanitizer, whose runtime
// makes system calls of its own.
#ifdef FDLAB_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// The path of a built program or test fixture.
std::string bin(const std::string &name);
std::string fixture(const std::string &name);

// An outside program by its path, looked for on PATH and where root's
// are too; empty where there is none.
std::string tool(const std::string &name);

// A file's bytes; what could be read of it where it is missing or goes
// away (a process's file under /proc) as it is read.
std::string slurp(const std::string &path);

// n bytes of every value, the same for the same seed.
std::string bytes(std::size_t n, unsigned seed = 1);

// An argument or environment vector as execve(2) takes it, pointing into v.
std::vector<char *> pointers(std::vector<std::string> &v);

// Reads the program's view of its descriptors while it runs.
int fdflags(pid_t pid, int fd);          // the status flags, as /proc shows
bool waitreading(pid_t pid, int fd = 0); // until blocked in read(fd), 10 s

// Whether the running kernel is this version or later.
bool kernel_at_least(int major, int minor);

} // namespace support
