// The three copy programs: fcntlcopy and oflagcopy copy into ./out,
// relaxcopy to its standard output, here the same file opened by the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>

#include "run.h"
#include "scratch.h"

using support::bin;
using support::bytes;

namespace {

const char *const all[] = {"fcntlcopy", "oflagcopy", "relaxcopy"};
const char *const files[] = {"fcntlcopy", "oflagcopy"};

// One run of a copy program in a fresh directory holding ./out.
struct copy {
	support::scratch dir;
	support::options o;
	int fd = -1;

	explicit copy(const std::string &prog, const std::string &old = "",
		      int outflags = 0)
	    : o(bin(prog), {prog})
	{
		dir.put("out", old);
		o.cwd = dir.path();
		if (prog == "relaxcopy")
			o.out = fd = open((dir / "out").c_str(),
					  O_WRONLY | O_CLOEXEC | outflags);
	}
	~copy()
	{
		if (fd >= 0)
			close(fd);
	}
	std::string out() const { return dir.get("out"); }
};

// fcntl with this command refused, as a kernel policy might refuse it.
template <int cmd>
void
refused(copy &t)
{
	t.o.faults = {{SYS_fcntl, EACCES, cmd}};
}

} // namespace

TEST(copy, overwrites_from_the_start_without_truncating)
{
	const std::string old = bytes(100, 2), ten = "0123456789";
	const std::string big = bytes(1 << 20 | 7, 3);
	struct {
		const char *what;
		std::string old, input, want;
	} cases[] = {
		{"10 bytes over 100", old, ten, ten + old.substr(10)},
		{"empty input", old, "", old},
		{"a large input", "", big, big},
	};
	for (const char *prog : all)
		for (const auto &c : cases) {
			SCOPED_TRACE(std::string(prog) + ": " + c.what);
			copy t(prog, c.old);
			t.o.input = c.input;
			auto r = support::run(t.o);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.status, 0);
			EXPECT_TRUE(t.out() == c.want) << "./out differs";
		}
}

// The program's own system calls as strace shows them raw, data left out,
// the dynamic loader's opening of the C library skipped.
static std::vector<std::string>
syscalls(const std::string &log)
{
	static const std::regex loader(
		R"(^(openat\(-100, "/|read\(3, "\\177ELF|close\(3\)))");
	static const std::regex data(R"(, "(?:[^"\\]|\\.)*"(?:\.\.\.)?)");
	static const std::regex decoded(R"( +\(flags .*\)$)"), gap(R"( +=)");
	std::vector<std::string> calls;
	std::istringstream in(log);
	bool started = false;
	for (std::string line; std::getline(in, line);) {
		if (!started && std::regex_search(line, loader))
			continue;
		started = true;
		if (line.rfind("read(", 0) == 0 || line.rfind("write(", 0) == 0)
			line = std::regex_replace(line, data, ", _");
		line = std::regex_replace(line, decoded, "");
		calls.push_back(std::regex_replace(line, gap, " ="));
	}
	return calls;
}

static std::vector<std::string>
strace(const std::string &log, const std::string &prog)
{
	std::string calls = "-etrace=openat,fcntl,read,write,close";
	return {"strace", "-Xraw", "-qq", "-o", log, calls, prog};
}

TEST(copy, one_write_per_read_of_at_most_512_bytes_with_the_flags_asked_for)
{
	if (support::sanitized)
		GTEST_SKIP()
			<< "the sanitizer runtime adds system calls of its own";
	using v = std::vector<std::string>;
	struct {
		const char *prog;
		std::size_t size;
		int outflags;
		v calls;
	} cases[] = {
		{"fcntlcopy", 1000, 0,
		 v{"openat(-100, \"./out\", 0x1) = 3", "fcntl(3, 0x3) = 0x8001",
		   "fcntl(3, 0x4, 0x109001) = 0", "read(0, _, 512) = 512",
		   "write(3, _, 512) = 512", "read(0, _, 512) = 488",
		   "write(3, _, 488) = 488", "read(0, _, 512) = 0",
		   "close(3) = 0"}},
		{"oflagcopy", 512, 0,
		 v{"openat(-100, \"./out\", 0x101001) = 3",
		   "read(0, _, 512) = 512", "write(3, _, 512) = 512",
		   "read(0, _, 512) = 0", "close(3) = 0"}},
		{"relaxcopy", 0, O_SYNC,
		 v{"fcntl(1, 0x3) = 0x109001", "fcntl(1, 0x4, 0x8001) = 0",
		   "read(0, _, 512) = 0"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.prog);
		copy t(c.prog, "", c.outflags);
		t.o.input = bytes(c.size);
		t.o.argv = strace(t.dir / "log", bin(c.prog));
		t.o.prog = "/usr/bin/strace";
		auto r = support::run(t.o);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(syscalls(t.dir.get("log")), c.calls);
	}
}

TEST(copy, pieces_that_arrive_apart_are_written_apart)
{
	// Each write to a SOCK_SEQPACKET socket arrives as a packet of its own.
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
	timeval limit{10, 0};
	setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
	support::options o(bin("relaxcopy"), {"relaxcopy"});
	o.out = sv[1];
	o.hold = true;
	support::process p(o);
	close(sv[1]);
	auto packet = [&] {
		std::string b(4096, '\0');
		ssize_t n = recv(sv[0], b.data(), b.size(), 0);
		b.resize(n > 0 ? n : 0);
		return b;
	};
	const std::string big = bytes(600);
	p.send("abc");
	EXPECT_EQ(packet(), "abc");
	p.send("de");
	EXPECT_EQ(packet(), "de");
	p.send(big);
	EXPECT_EQ(packet(), big.substr(0, 512));
	EXPECT_EQ(packet(), big.substr(512));
	p.close_input();
	EXPECT_EQ(p.wait().status, 0);
	close(sv[0]);
}

TEST(copy, kernel_keeps_the_open_time_sync_flag_whatever_fsetfl_asks)
{
	struct {
		const char *prog;
		int fd, outflags;
		bool sync;
	} cases[] = {
		{"fcntlcopy", 3, 0,
		 false}, // asked for it with F_SETFL: not given
		{"oflagcopy", 3, 0, true}, // asked for it at open
		{"relaxcopy", 1, O_SYNC,
		 true}, // asked F_SETFL to drop it: kept
		{"relaxcopy", 1, 0, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.prog) +
			     (c.outflags ? " on O_SYNC" : ""));
		copy t(c.prog, "", c.outflags);
		t.o.hold = true;
		support::process p(t.o);
		ASSERT_TRUE(support::waitreading(p.pid()));
		int flags = support::fdflags(p.pid(), c.fd);
		EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
		EXPECT_EQ((flags & O_SYNC) == O_SYNC, c.sync)
			<< std::oct << flags;
		EXPECT_EQ(flags & O_DSYNC, c.sync ? O_DSYNC : 0);
		p.send("x");
		p.close_input();
		EXPECT_EQ(p.wait().status, 0);
		EXPECT_EQ(t.out(), "x");
	}
}

TEST(copy, failures_report_exit_1_and_keep_what_was_written)
{
	const std::string old = "old contents\n", in = bytes(1500, 4);
	struct {
		const char *what;
		std::vector<const char *> progs;
		std::string input;
		void (*arrange)(copy &);
		std::string err, out;
	} cases[] = {
		{"standard input closed",
		 {all, all + 3},
		 "",
		 [](copy &t) { t.o.in = support::closed; },
		 "read error\n",
		 old},
		{"standard input a directory",
		 {all, all + 3},
		 "",
		 [](copy &t) { t.o.in = open("/", O_RDONLY | O_CLOEXEC); },
		 "read error\n",
		 old},
		{"full device",
		 {files, files + 2},
		 in,
		 [](copy &t) {
			 std::filesystem::remove(t.dir / "out");
			 std::filesystem::create_symlink("/dev/full",
							 t.dir / "out");
		 },
		 "write error\n",
		 ""},
		{"short write",
		 {all, all + 3},
		 in,
		 [](copy &t) {
			 t.dir.put("out", "");
			 t.o.limits = {{RLIMIT_FSIZE, 700}};
			 t.o.ignore = {SIGXFSZ};
		 },
		 "write error\n",
		 in.substr(0, 700)},
		{"F_GETFL refused",
		 {"fcntlcopy", "relaxcopy"},
		 in,
		 refused<F_GETFL>,
		 "Can't get file descriptor flags: Permission denied\n",
		 old},
		{"F_SETFL refused",
		 {"fcntlcopy", "relaxcopy"},
		 in,
		 refused<F_SETFL>,
		 "Can't set file descriptor flags: Permission denied\n",
		 old},
	};
	for (const auto &c : cases)
		for (const char *prog : c.progs) {
			SCOPED_TRACE(std::string(prog) + ": " + c.what);
			copy t(prog, old);
			t.o.input = c.input;
			c.arrange(t);
			auto r = support::run(t.o);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.status, 1);
			if (c.out != "") {
				EXPECT_TRUE(t.out() == c.out)
					<< "./out differs";
			}
			if (t.o.in >= 0)
				close(t.o.in);
		}
}

TEST(copy, a_missing_or_unwritable_out_stops_before_reading)
{
	struct {
		const char *prog;
		bool dir;
		std::string err;
	} cases[] = {
		{"fcntlcopy", false,
		 "Can't get file descriptor flags: Bad file descriptor\n"},
		{"fcntlcopy", true,
		 "Can't get file descriptor flags: Bad file descriptor\n"},
		{"oflagcopy", false,
		 "Can't open ./out: No such file or directory\n"},
		{"oflagcopy", true, "Can't open ./out: Is a directory\n"},
	};
	for (const auto &c : cases)
		for (std::string input : {"", "some input\n"}) {
			SCOPED_TRACE(std::string(c.prog) +
				     (c.dir ? " on a directory" : " missing") +
				     (input.empty() ? ", no input"
						    : ", with input"));
			copy t(c.prog);
			std::filesystem::remove(t.dir / "out");
			if (c.dir)
				std::filesystem::create_directory(t.dir /
								  "out");
			t.o.input = input;
			auto r = support::run(t.o);
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(r.status, 1);
		}
}

TEST(copy, relaxcopy_standard_output_closed_or_a_broken_pipe)
{
	auto broken = [] {
		int p[2];
		pipe2(p, O_CLOEXEC);
		close(p[0]);
		return p[1];
	};
	struct {
		const char *what;
		int out;
		std::vector<int> ignore;
		std::string err;
		int status, signal;
	} cases[] = {
		{"closed",
		 support::closed,
		 {},
		 "Can't get file descriptor flags: Bad file descriptor\n",
		 1,
		 0},
		{"broken pipe", broken(), {}, "", -1, SIGPIPE},
		{"broken pipe, SIGPIPE ignored",
		 broken(),
		 {SIGPIPE},
		 "write error\n",
		 1,
		 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		support::options o(bin("relaxcopy"), {"relaxcopy"});
		o.out = c.out;
		o.ignore = c.ignore;
		o.input = "data\n";
		auto r = support::run(o);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.signal, c.signal);
		if (c.out >= 0)
			close(c.out);
	}
}
