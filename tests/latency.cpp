// writetimes and lathist. lathist on files of known durations: where a
// duration on a bucket's edge goes, the percentiles against figures worked
// out by hand, its bars, and what it refuses. writetimes loaded into the
// real copy programs: one duration a write, durations that fit in the run,
// a synchronous copy slower than one that is not, and the program's file,
// output, calls and errno as they are without it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run.h"
#include "scratch.h"

extern char **environ;

using support::bin;
using support::bytes;

namespace {

// The test's own environment, with these settings in place of its own.
std::vector<std::string>
environment(const std::vector<std::string> &set)
{
	std::vector<std::string> env(set);
	for (char **e = environ; *e; e++) {
		std::string v = *e, key = v.substr(0, v.find('=') + 1);
		if (std::none_of(set.begin(), set.end(), [&](const auto &s) {
			    return s.rfind(key, 0) == 0;
		    }))
			env.push_back(v);
	}
	return env;
}

// Durations in ns, one a line, as writetimes writes them.
std::string
lines(const std::vector<std::uint64_t> &ns)
{
	std::string s;
	for (std::uint64_t n : ns)
		s += std::to_string(n) + "\n";
	return s;
}

// lathist on a file holding text; args come before the file's name.
support::result
lathist(const std::string &text, std::vector<std::string> args = {"--data"},
	const std::vector<std::string> &env = {})
{
	support::scratch dir;
	dir.put("times", text);
	args.insert(args.begin(), "lathist");
	args.push_back(dir / "times");
	support::options o(bin("lathist"), args);
	o.env = environment(env);
	return support::run(o);
}

// What lathist --data says, read back: each key's value, and the buckets'
// lines, "LOW HIGH COUNT".
struct figures {
	std::map<std::string, std::string> v;
	std::vector<std::string> buckets;
};

figures
parse(const std::string &out)
{
	figures f;
	std::istringstream in(out);
	for (std::string l; std::getline(in, l);) {
		const auto eq = l.find('=');
		if (l.substr(0, eq) == "bucket")
			f.buckets.push_back(l.substr(eq + 1));
		else
			f.v[l.substr(0, eq)] = l.substr(eq + 1);
	}
	return f;
}

// A scratch directory on the disk the build directory is on. support's
// are made under TMPDIR, which may be held in memory (/tmp on Debian 13),
// where a synchronous write waits for nothing.
std::unique_ptr<support::scratch>
ondisk()
{
	const char *t = std::getenv("TMPDIR");
	const std::string old = t ? t : "";
	setenv("TMPDIR", BUILD, 1);
	auto dir = std::make_unique<support::scratch>();
	if (t)
		setenv("TMPDIR", old.c_str(), 1);
	else
		unsetenv("TMPDIR");
	return dir;
}

bool
inmemory(const std::string &dir)
{
	struct statfs s;
	return statfs(dir.c_str(), &s) == 0 &&
	       (s.f_type == TMPFS_MAGIC || s.f_type == RAMFS_MAGIC);
}

// A run with writetimes loaded, its durations going to file: what the
// program did, how long it ran, and what the file says.
struct timed {
	support::result r;
	double ns = 0; // the run's wall time
	std::string text;
	std::vector<std::int64_t> times;
	long long cost = -1;
};

timed
withtimes(support::options o, const std::string &file,
	  const std::vector<std::string> &env = {})
{
	std::vector<std::string> set{"WRITETIMES=" + file};
	set.insert(set.end(), env.begin(), env.end());
	o.env = environment(set);
	o.preload = bin("libwritetimes.so");
	timed t;
	const auto start = std::chrono::steady_clock::now();
	t.r = support::run(o);
	t.ns = std::chrono::duration<double, std::nano>(
		       std::chrono::steady_clock::now() - start)
		       .count();
	std::FILE *f = std::fopen(file.c_str(), "r");
	if (!f)
		return t;
	char line[256];
	while (std::fgets(line, sizeof line, f)) {
		t.text += line;
		if (std::strncmp(line, "# cost ", 7) == 0)
			t.cost = std::atoll(line + 7);
		else if (line[0] != '#')
			t.times.push_back(std::atoll(line));
	}
	std::fclose(f);
	return t;
}

double
ms(const std::vector<double> &ns)
{
	std::vector<double> s(ns);
	std::sort(s.begin(), s.end());
	return s[s.size() / 2] / 1e6;
}

} // namespace

// An edge belongs to the bucket it opens: [low, high) microseconds.
TEST(lathist, puts_a_duration_on_an_edge_into_the_bucket_above)
{
	const struct {
		std::uint64_t ns;
		const char *bucket;
	} cases[] = {
		{0, "0 1 1"},
		{999, "0 1 1"},
		{1000, "1 2 1"},
		{1023, "1 2 1"},
		{1024, "1 2 1"},
		{1999, "1 2 1"},
		{2000, "2 4 1"},
		{2048, "2 4 1"},
		{3999, "2 4 1"},
		{4000, "4 8 1"},
		{1023999, "512 1024 1"},
		{1024000, "1024 2048 1"},
		{UINT64_MAX, "18014398509481984 36028797018963968 1"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.ns);
		auto r = lathist(lines({c.ns}));
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(parse(r.out).buckets,
			  std::vector<std::string>{c.bucket});
	}
}

// Nearest rank: the smallest duration with at least p% at or below it.
TEST(lathist, gives_percentiles_by_nearest_rank_and_every_bucket_between)
{
	std::vector<std::uint64_t> two{2000, 1000}, hundred, hundredone;
	std::vector<std::uint64_t> outlier(99, 10000);
	for (std::uint64_t us = 1; us <= 101; us++)
		(us <= 100 ? hundred : hundredone).push_back(us * 1000);
	hundredone.insert(hundredone.end(), hundred.begin(), hundred.end());
	std::shuffle(hundred.begin(), hundred.end(), std::mt19937(1));
	std::shuffle(hundredone.begin(), hundredone.end(), std::mt19937(2));
	outlier.insert(outlier.begin() + 40, 20000000);
	using v = std::vector<std::string>;
	const struct {
		const char *what;
		std::vector<std::uint64_t> ns;
		const char *count, *p50, *p99, *max;
		v buckets;
	} cases[] = {
		{"one", {1500}, "1", "1.500", "1.500", "1.500", v{"1 2 1"}},
		{"1 and 2 us", two, "2", "1.000", "2.000", "2.000",
		 v{"1 2 1", "2 4 1"}},
		{"1 to 100 us", hundred, "100", "50.000", "99.000", "100.000",
		 v{"1 2 1", "2 4 2", "4 8 4", "8 16 8", "16 32 16", "32 64 32",
		   "64 128 37"}},
		{"1 to 101 us", hundredone, "101", "51.000", "100.000",
		 "101.000",
		 v{"1 2 1", "2 4 2", "4 8 4", "8 16 8", "16 32 16", "32 64 32",
		   "64 128 38"}},
		{"99 of 10 us, one of 20 ms", outlier, "100", "10.000",
		 "10.000", "20000.000",
		 v{"8 16 99", "16 32 0", "32 64 0", "64 128 0", "128 256 0",
		   "256 512 0", "512 1024 0", "1024 2048 0", "2048 4096 0",
		   "4096 8192 0", "8192 16384 0", "16384 32768 1"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto r = lathist(lines(c.ns));
		ASSERT_EQ(r.status, 0) << r.err;
		auto f = parse(r.out);
		EXPECT_EQ(f.v["count"], c.count);
		EXPECT_EQ(f.v["untimed"], "0");
		EXPECT_EQ(f.v.count("cost_ns"), 0u) << "no cost in the file";
		EXPECT_EQ(f.v["p50_us"], c.p50);
		EXPECT_EQ(f.v["p99_us"], c.p99);
		EXPECT_EQ(f.v["max_us"], c.max);
		EXPECT_EQ(f.buckets, c.buckets);
	}
}

TEST(lathist, reads_the_cost_and_the_untimed_writes_from_comments)
{
	const std::string text = "# writetimes: anything at all\n"
				 "# cost 37 ns, as it was measured\n"
				 "# untimed 5\n"
				 "3000\n"
				 "# a comment among the durations\n"
				 "500\n";
	auto r = lathist(text);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "count=2\nuntimed=5\ncost_ns=37\np50_us=0.500\n"
			 "p99_us=3.000\nmax_us=3.000\nbucket=0 1 1\n"
			 "bucket=1 2 0\nbucket=2 4 1\n");

	// The same from standard input, named or not.
	for (const std::vector<std::string> &args :
	     {std::vector<std::string>{"lathist", "--data"},
	      std::vector<std::string>{"lathist", "--data", "-"}}) {
		support::options o(bin("lathist"), args);
		o.input = text;
		auto s = support::run(o);
		EXPECT_EQ(s.status, 0) << s.err;
		EXPECT_EQ(s.out, r.out);
	}

	auto h = lathist(text, {}, {"LC_ALL=C"});
	ASSERT_EQ(h.status, 0) << h.err;
	EXPECT_NE(h.out.find("2 writes timed (and 5 more not timed): p50 0.50 "
			     "us, p99 3.00 us, max 3.00 us\n"
			     "each write was timed inside the program, around "
			     "the call; the timing adds about 37 ns to each\n"),
		  std::string::npos)
		<< h.out;
}

// 1000 writes of 10 us and one of 20 ms: the lone slow one shows as one
// mark, though a fiftieth of a mark is its share.
TEST(lathist, draws_a_bar_a_bucket_and_a_lone_slow_write_as_one_mark)
{
	std::vector<std::uint64_t> ns(1000, 10000);
	ns.push_back(20000000);
	const std::string text = "# cost 25\n" + lines(ns);
	const std::string bar(50, '#');
	const std::string want =
		"       8-16 us 1000 " + bar +
		"\n"
		"      16-32 us    0\n      32-64 us    0\n     64-128 us    "
		"0\n"
		"    128-256 us    0\n    256-512 us    0\n   512-1024 us    "
		"0\n"
		"  1024-2048 us    0\n  2048-4096 us    0\n  4096-8192 us    "
		"0\n"
		" 8192-16384 us    0\n"
		"16384-32768 us    1 #\n"
		"\n"
		"1001 writes timed: p50 10.0 us, p99 10.0 us, max 20000 us\n"
		"each write was timed inside the program, around the call; "
		"the timing adds about 25 ns to each\n";
	auto r = lathist(text, {}, {"LC_ALL=C"});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, want);

	// On a UTF-8 locale, blocks and the micro sign.
	std::string utf8;
	for (char c : want)
		utf8 += c == '#' ? "\u2588" : std::string(1, c);
	for (std::size_t at; (at = utf8.find(" us")) != std::string::npos;)
		utf8.replace(at, 3, " \u00b5s");
	auto u = lathist(text, {}, {"LC_ALL=C.UTF-8"});
	ASSERT_EQ(u.status, 0) << u.err;
	EXPECT_EQ(u.out, utf8);
}

TEST(lathist, refuses_a_line_it_cannot_read_and_a_file_of_no_writes)
{
	const struct {
		std::string line, err;
	} bad[] = {
		{"12x", ""},
		{"-5", ""},
		{"+5", ""},
		{" 5", ""},
		{"5 ", ""},
		{"1.5", ""},
		{"", ""},
		{"18446744073709551616", "one past the largest"},
		{"# cost many", ""},
		{"# untimed -1", ""},
	};
	for (const auto &b : bad) {
		SCOPED_TRACE("\"" + b.line + "\"");
		for (const char *mode : {"--data", ""}) {
			std::vector<std::string> args;
			if (*mode)
				args.emplace_back(mode);
			auto r = lathist("1000\n" + b.line + "\n3000\n", args);
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.out, "");
			EXPECT_NE(r.err.find("times:2: cannot read \"" +
					     b.line + "\""),
				  std::string::npos)
				<< r.err;
		}
	}
	for (const std::string text : {"", "# cost 20\n# untimed 3\n"}) {
		auto r = lathist(text);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_NE(r.err.find("times: no timed write in it"),
			  std::string::npos)
			<< r.err;
	}
	support::options o(bin("lathist"), {"lathist", "/nonexistent/times"});
	auto r = support::run(o);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "lathist: /nonexistent/times: No such file or "
			 "directory\n");

	using v = std::vector<std::string>;
	for (const v &args :
	     {v{"lathist", "--bogus"}, v{"lathist", "-x"},
	      v{"lathist", "a", "b"}, v{"lathist", "--data", "--data"}}) {
		SCOPED_TRACE(args[1]);
		support::options u(bin("lathist"), args);
		auto s = support::run(u);
		EXPECT_EQ(s.status, 2);
		EXPECT_EQ(s.err, "usage: lathist [--data] [file]\n");
	}
}

// 256 KiB in 512 writes into an existing ./out on the build directory's
// disk: each program with the library and without, and what lathist makes
// of the durations.
TEST(writetimes, times_each_write_of_the_copy_programs)
{
	auto dir = ondisk();
	const std::string input = bytes(std::size_t{512} * 512),
			  old = bytes(300000, 2);
	std::map<std::string, double> p50;
	for (const char *prog : {"oflagcopy", "fcntlcopy"}) {
		SCOPED_TRACE(prog);
		support::options o(bin(prog), {prog});
		o.cwd = dir->path();
		o.input = input;
		o.timeout = 120;
		dir->put("out", old);
		auto plain = support::run(o);
		ASSERT_EQ(plain.status, 0) << plain.err;
		const std::string want = dir->get("out");

		dir->put("out", old);
		auto t = withtimes(o, *dir / "times");
		EXPECT_EQ(t.r.status, 0);
		EXPECT_EQ(t.r.out, plain.out);
		EXPECT_EQ(t.r.err, plain.err);
		EXPECT_TRUE(dir->get("out") == want) << "./out differs";
		ASSERT_EQ(t.times.size(), 512u) << t.text.substr(0, 300);
		std::int64_t sum = 0;
		for (std::int64_t d : t.times)
			sum += d;
		EXPECT_GT(sum, 0);
		EXPECT_LE(static_cast<double>(sum), t.ns);
		EXPECT_GE(t.cost, 0) << t.text.substr(0, 300);
		EXPECT_LT(t.cost, 10000) << "ns";
		EXPECT_EQ(t.text.find("# untimed"), std::string::npos);

		auto h = lathist(t.text);
		ASSERT_EQ(h.status, 0) << h.err;
		auto f = parse(h.out);
		EXPECT_EQ(f.v["count"], "512");
		EXPECT_EQ(f.v["cost_ns"], std::to_string(t.cost));
		p50[prog] = std::stod(f.v["p50_us"]);
		auto d = lathist(t.text, {}, {"LC_ALL=C.UTF-8"});
		std::printf("%s, %.1f ms in all:\n%s\n", prog, t.ns / 1e6,
			    d.out.c_str());
	}
	if (inmemory(dir->path()))
		GTEST_SKIP() << dir->path()
			     << " is held in memory (tmpfs): a synchronous "
				"write waits for no device, and is no slower";
	EXPECT_GT(p50["oflagcopy"], 2 * p50["fcntlcopy"])
		<< "median us of a write with O_SYNC and without";
}

// A write the tests make themselves, through perl, to one descriptor or
// another; only those to the descriptor named are timed.
TEST(writetimes, times_only_the_descriptor_named)
{
	support::scratch dir;
	support::options o("/usr/bin/perl",
			   {"perl", "-e",
			    "syswrite STDOUT, 'a'; syswrite STDERR, 'b'; "
			    "syswrite STDOUT, 'c'"});
	const struct {
		const char *fd; // WRITETIMES_FD, or null for unset
		std::size_t timed;
		const char *said; // a line the file must hold
	} cases[] = {
		{nullptr, 2, "# cost "},
		{"1", 2, "# cost "},
		{"2", 1, "# cost "},
		{"7", 0, "# cost "},
		{"x", 0, "# WRITETIMES_FD is no descriptor: nothing was timed"},
		{"", 0, "# WRITETIMES_FD is no descriptor: nothing was timed"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.fd ? c.fd : "unset");
		std::vector<std::string> env;
		if (c.fd)
			env.push_back(std::string("WRITETIMES_FD=") + c.fd);
		auto t = withtimes(o, dir / "times", env);
		EXPECT_EQ(t.r.status, 0) << t.r.err;
		EXPECT_EQ(t.r.out, "ac");
		EXPECT_EQ(t.r.err, "b");
		EXPECT_EQ(t.times.size(), c.timed) << t.text;
		EXPECT_NE(t.text.find(c.said), std::string::npos) << t.text;
	}
}

// A write that succeeds leaves errno alone; one that fails sets it. The
// library's clock readings in between must change neither, nor what write
// returned, nor the calls themselves.
TEST(writetimes, leaves_results_errno_and_calls_as_they_were)
{
	support::scratch dir;
	support::options o(
		"/usr/bin/perl",
		{"perl", "-MPOSIX", "-e",
		 "sub say { print STDERR $_[0], ' ', $_[1] // 'undef', ' ', "
		 "$!+0, \"\\n\" }\n"
		 "$! = 42; say 'done', POSIX::write(1, 'a', 1);\n"
		 "open F, '>', '/dev/full' or die;\n"
		 "say 'full', POSIX::write(fileno F, 'b', 1);\n"
		 "say 'closed', POSIX::write(9, 'c', 1);\n"});
	auto plain = support::run(o);
	ASSERT_EQ(plain.status, 0) << plain.err;
	ASSERT_EQ(plain.err, "done 1 42\nfull undef 28\nclosed undef 9\n")
		<< "perl itself, with no library";
	auto t = withtimes(o, dir / "times");
	EXPECT_EQ(t.r.status, 0);
	EXPECT_EQ(t.r.out, "a");
	EXPECT_EQ(t.r.err, plain.err);
	EXPECT_EQ(t.times.size(), 3u) << "failed writes are timed too";

	// relaxcopy's reads and writes, as strace sees them, with the library
	// and without, the same.
	const std::string strace = "/usr/bin/strace";
	if (access(strace.c_str(), X_OK) != 0)
		GTEST_SKIP() << "no strace";
	auto calls = [&](bool loaded) {
		// A sanitizer's leak check cannot run under a tracer.
		std::vector<std::string> argv{
			strace,
			"-qq",
			"-Xraw",
			"-s0",
			"-e",
			"trace=read,write",
			"-o",
			dir / "log",
			"-E",
			"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"};
		if (loaded)
			argv.insert(argv.end(),
				    {"-E",
				     "LD_PRELOAD=" + bin("libwritetimes.so"),
				     "-E", "WRITETIMES=" + dir / "times"});
		argv.push_back(bin("relaxcopy"));
		support::options s(strace, argv);
		s.input = bytes(1000);
		auto r = support::run(s);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, s.input);
		std::vector<std::string> v;
		std::istringstream in(dir.get("log"));
		for (std::string l; std::getline(in, l);)
			if (l.rfind("read(0,", 0) == 0 ||
			    l.rfind("write(", 0) == 0)
				v.push_back(l);
		return v;
	};
	const auto without = calls(false), with = calls(true);
	ASSERT_EQ(without.size(), 5u) << "3 reads and 2 writes";
	// Its own file it writes through a mapping: not one write call more,
	// so that iowatch counts the program's alone.
	EXPECT_EQ(with, without);
	auto h = lathist(dir.get("times"));
	EXPECT_EQ(parse(h.out).v["count"], "2") << h.err;
}

// Beyond its room of 1 << 20 durations the library counts the writes
// only, and says how many; up to it, every one is kept.
TEST(writetimes, counts_the_writes_beyond_its_room_as_untimed)
{
	support::scratch dir;
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(null, 0);
	const struct {
		std::size_t writes;
		const char *untimed;
	} cases[] = {{1 << 20, "0"}, {(1 << 20) + 1, "1"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.writes);
		support::options o("/usr/bin/perl",
				   {"perl", "-e",
				    "syswrite STDOUT, 'x' for 1 .. " +
					    std::to_string(c.writes)});
		o.out = null;
		o.timeout = 120;
		auto t = withtimes(o, dir / "times", {"WRITETIMES_FD=1"});
		EXPECT_EQ(t.r.status, 0) << t.r.err;
		ASSERT_EQ(t.times.size(), std::size_t{1} << 20);
		EXPECT_EQ(std::count(t.times.begin(), t.times.end(), 0), 0)
			<< "durations never stored";
		const std::string line =
			"\n# untimed " + std::string(c.untimed) + "\n";
		EXPECT_EQ(t.text.find(line) != std::string::npos,
			  c.writes > t.times.size())
			<< t.text.substr(0, 300);
		auto h = lathist(t.text);
		ASSERT_EQ(h.status, 0) << h.err;
		auto f = parse(h.out);
		EXPECT_EQ(f.v["count"], "1048576");
		EXPECT_EQ(f.v["untimed"], c.untimed);
	}
	close(null);
}

// What the library adds to a write that costs little: relaxcopy copying
// 256 KiB to /dev/null, without it, with it loaded but timing another
// descriptor, and timing each write, runs taken in turn. What it adds once,
// at load and at exit, shows apart from what it adds to each write. The
// bound is loose, for a busy machine; the figures are printed.
TEST(writetimes, adds_little_to_a_cheap_write)
{
	support::scratch dir;
	support::options o(bin("relaxcopy"), {"relaxcopy"});
	o.input = bytes(std::size_t{512} * 512);
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(null, 0);
	o.out = null;
	std::vector<double> plain, idle, loaded;
	std::vector<std::int64_t> cheap;
	for (int i = 0; i < 9; i++) {
		auto start = std::chrono::steady_clock::now();
		auto r = support::run(o);
		plain.push_back(
			std::chrono::duration<double, std::nano>(
				std::chrono::steady_clock::now() - start)
				.count());
		EXPECT_EQ(r.status, 0) << r.err;
		auto u = withtimes(o, dir / "times", {"WRITETIMES_FD=9"});
		EXPECT_EQ(u.r.status, 0) << u.r.err;
		EXPECT_EQ(u.times.size(), 0u);
		idle.push_back(u.ns);
		auto t = withtimes(o, dir / "times");
		EXPECT_EQ(t.r.status, 0) << t.r.err;
		EXPECT_EQ(t.times.size(), 512u);
		loaded.push_back(t.ns);
		cheap.insert(cheap.end(), t.times.begin(), t.times.end());
	}
	close(null);
	std::sort(cheap.begin(), cheap.end());
	const double a = ms(plain), b = ms(idle), c = ms(loaded);
	std::printf("relaxcopy > /dev/null, 256 KiB in 512 writes, median of "
		    "9 runs: %.2f ms without the library, %.2f ms with it "
		    "timing no write, %.2f ms timing each (%+.2f us a write); "
		    "a write's median as timed: %.2f us\n",
		    a, b, c, (c - b) * 1000 / 512,
		    static_cast<double>(cheap[cheap.size() / 2]) / 1000);
	RecordProperty("ms without", std::to_string(a));
	RecordProperty("ms timing none", std::to_string(b));
	RecordProperty("ms timing each", std::to_string(c));
	EXPECT_LT((c - a) * 1000 / 512, 20) << "us added to each write";
}
