// labrun: a program run bounded and contained, and nothing of it left.
// Each case checks by process, not by labrun's word: every process of a
// run carries a marker in its environment, and once labrun has ended /proc
// is searched for it. Runs are made by the test's own user, with and
// without namespaces, and, as root, by the ordinary user learner too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "run.h"
#include "scratch.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char **environ;

using support::slurp;
using support::tool;

namespace {

// Who runs labrun: the test's own user, root, or an ordinary user (the
// user learner when the test runs as root, else the test's own).
enum who : unsigned char { self, root, user };

struct mode {
	const char *name;
	who by;
	bool plain; // -N
};

struct outcome {
	support::result r;
	std::map<std::string, std::string> report;
	double seconds = 0;
	long peak = 0;           // labrun's VmHWM, in kB
	std::vector<pid_t> left; // marked processes alive once labrun ended
};

std::map<std::string, std::string>
keys(const std::string &path)
{
	std::map<std::string, std::string> m;
	std::istringstream in(slurp(path));
	for (std::string l; std::getline(in, l);) {
		auto eq = l.find('=');
		if (eq != std::string::npos)
			m[l.substr(0, eq)] = l.substr(eq + 1);
	}
	return m;
}

// The processes that carry mark in their environment, each then killed:
// a failing case leaves nothing behind either.
std::vector<pid_t>
marked(const std::string &mark)
{
	std::vector<pid_t> v;
	for (const auto &e : fs::directory_iterator("/proc")) {
		std::string name = e.path().filename();
		if (name.find_first_not_of("0123456789") != std::string::npos)
			continue;
		std::string env = '\0' + slurp(e.path() / "environ");
		if (env.find('\0' + mark + '\0') != std::string::npos)
			v.push_back(std::stoi(name));
	}
	for (pid_t p : v)
		kill(p, SIGKILL);
	return v;
}

// The peak memory of process pid, once it is labrun.
long
hwm(pid_t pid)
{
	std::string dir = "/proc/" + std::to_string(pid);
	if (slurp(dir + "/comm") != "labrun\n")
		return 0;
	std::istringstream in(slurp(dir + "/status"));
	std::string key;
	long kb = 0;
	while (in >> key)
		if (key == "VmHWM:" && in >> kb)
			return kb;
	return 0;
}

bool
until(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s)
{
	auto end = std::chrono::steady_clock::now() + limit;
	while (!done()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(5ms);
	}
	return true;
}

// The field of /proc/PID/stat at index i, counted from the state (0).
long
field(pid_t pid, int i)
{
	std::string s = slurp("/proc/" + std::to_string(pid) + "/stat");
	std::istringstream in(s.substr(s.rfind(')') + 2));
	std::string f;
	for (int k = 0; k <= i; k++)
		in >> f;
	return std::stol(f);
}

// A pids cgroup of the test's, below its own (cgroup v1 or v2), that
// bounds the processes of whatever is put in it; why says why there is
// none. Whatever is left in it is ended with it.
struct pidsgroup {
	std::string dir, why;

	explicit pidsgroup(int max)
	{
		std::ifstream f("/proc/self/cgroup");
		std::string v2;
		for (std::string l; std::getline(f, l);) {
			auto a = l.find(':'), b = l.find(':', a + 1);
			std::string ctl =
				"," + l.substr(a + 1, b - a - 1) + ",";
			if (ctl.find(",pids,") != std::string::npos &&
			    fs::exists("/sys/fs/cgroup/pids"))
				dir = "/sys/fs/cgroup/pids" + l.substr(b + 1);
			else if (ctl == ",,")
				v2 = "/sys/fs/cgroup" + l.substr(b + 1);
		}
		if (dir.empty() && !v2.empty() &&
		    slurp("/sys/fs/cgroup/cgroup.controllers").find("pids") !=
			    std::string::npos) {
			dir = v2;
			std::ofstream(dir + "/cgroup.subtree_control")
				<< "+pids";
		}
		if (dir.empty()) {
			why = "no pids controller";
			return;
		}
		dir += "/fdlab-test." + std::to_string(getpid());
		if (mkdir(dir.c_str(), 0755) < 0) {
			why = dir + ": " + std::strerror(errno);
			dir.clear();
			return;
		}
		std::ofstream(dir + "/pids.max") << max;
	}
	~pidsgroup()
	{
		if (dir.empty())
			return;
		until([&] {
			std::ifstream procs(dir + "/cgroup.procs");
			for (pid_t p; procs >> p;)
				kill(p, SIGKILL);
			return rmdir(dir.c_str()) == 0;
		});
	}
	pidsgroup(const pidsgroup &) = delete;
	pidsgroup &operator=(const pidsgroup &) = delete;
};

class lab : public testing::TestWithParam<mode>
{
protected:
	void SetUp() override
	{
		const mode &m = GetParam();
		if (m.by == root && geteuid() != 0)
			GTEST_SKIP() << "the case is root's, and the test is "
					"not root";
		fs::permissions(top.path(), fs::perms::owner_all |
						    fs::perms::group_read |
						    fs::perms::group_exec |
						    fs::perms::others_read |
						    fs::perms::others_exec);
		work = top / "work";
		fs::create_directory(work);
		static int n;
		mark = "FDLAB_LABRUN_MARK=" + std::to_string(getpid()) + "." +
		       std::to_string(++n);
		uid = geteuid();
		if (m.by != user || geteuid() != 0)
			return;
		// The tree of the build need not be readable by the user: it
		// runs a copy.
		const passwd *pw = getpwnam("learner");
		std::string setpriv = tool("setpriv");
		if (!pw || setpriv.empty())
			GTEST_SKIP()
				<< "no user learner, or no setpriv, to run "
				   "as an ordinary user";
		uid = pw->pw_uid;
		exe = top / "labrun";
		fs::copy_file(support::bin("labrun"), exe);
		if (chown(work.c_str(), pw->pw_uid, pw->pw_gid) < 0)
			FAIL() << "chown";
		prefix = {setpriv, "--reuid=learner", "--regid=learner",
			  "--clear-groups"};
	}

	// Runs argv as the case's user, under bounds set up beforehand.
	std::unique_ptr<support::process> as(std::vector<std::string> argv)
	{
		argv.insert(argv.begin(), prefix.begin(), prefix.end());
		argv.insert(argv.begin(), bounds.begin(), bounds.end());
		support::options o(argv[0], argv);
		// A PATH the user may search whole: where it meets a
		// directory it may not read, execvp's error is another.
		o.env = std::vector<std::string>{
			mark,
			"PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"};
		for (char **e = environ; *e; e++)
			if (std::strncmp(*e, "PATH=", 5) != 0)
				o.env->emplace_back(*e);
		o.ignore = ignore;
		o.timeout = 60;
		began = std::chrono::steady_clock::now();
		return std::make_unique<support::process>(o);
	}

	// Starts labrun with args, after -N in that mode, and -C and -r
	// of the case's own.
	std::unique_ptr<support::process> start(std::vector<std::string> args)
	{
		std::vector<std::string> argv{exe, "-C", work, "-r",
					      work + "/report"};
		if (GetParam().plain)
			argv.emplace_back("-N");
		argv.insert(argv.end(), args.begin(), args.end());
		return as(argv);
	}

	// Waits for labrun's end, and looks at what it left.
	outcome finish(support::process &p)
	{
		outcome x;
		std::atomic<bool> done{false};
		std::thread watch([&] {
			while (!done) {
				x.peak = std::max(x.peak, hwm(p.pid()));
				std::this_thread::sleep_for(2ms);
			}
		});
		x.r = p.wait();
		done = true;
		watch.join();
		x.seconds = std::chrono::duration<double>(
				    std::chrono::steady_clock::now() - began)
				    .count();
		x.report = keys(work + "/report");
		x.left = marked(mark);
		return x;
	}

	outcome run(const std::vector<std::string> &args)
	{
		return finish(*start(args));
	}

	// A file the program may use, in the case's directory.
	std::string put(const std::string &name, const std::string &text,
			fs::perms mode = fs::perms::owner_read |
					 fs::perms::owner_write |
					 fs::perms::group_read |
					 fs::perms::others_read)
	{
		std::string path = work + "/" + name;
		std::ofstream(path) << text;
		fs::permissions(path, mode);
		return path;
	}

	support::scratch top;
	std::string exe = support::bin("labrun");
	std::string work, mark;
	std::vector<std::string> prefix, bounds;
	std::vector<int> ignore; // signals labrun starts with ignored
	uid_t uid = 0;
	std::chrono::steady_clock::time_point began;
};

std::string
named(const testing::TestParamInfo<mode> &i)
{
	return i.param.name;
}

// Whatever a run is: by the test's user, with namespaces and without, and
// by an ordinary user.
const auto modes = testing::Values(mode{"namespaces", self, false},
				   mode{"subreaper", self, true},
				   mode{"user", user, false});
// What root and an ordinary user may do differently.
const auto users =
	testing::Values(mode{"root", root, false}, mode{"user", user, false});

using runs = lab;
using both = lab;

} // namespace

INSTANTIATE_TEST_SUITE_P(labrun, runs, modes, named);
INSTANTIATE_TEST_SUITE_P(labrun, both, users, named);

// Escapes from the command's session and group are counted, ended with
// the run, and not waited for: the run ends with the command.
TEST_P(runs, what_leaves_the_session_is_counted_and_ended)
{
	const std::string ready = "until [ -e ready ]; do sleep 0.01; done\n";
	const std::string sleeper = "sh -c ': >ready; exec sleep 1000'";
	struct {
		const char *what;
		std::string body;
		int left, sessions;
	} cases[] = {
		{"nothing", "true\n", 0, 0},
		{"a child in a session of its own",
		 "setsid " + sleeper + " &\n" + ready, 1, 1},
		{"a double fork", "(" + sleeper + " &)\n" + ready, 1, 0},
		{"a daemon: setsid, fork, the parent exits",
		 "setsid -f " + sleeper + "\n" + ready, 1, 1},
		{"all three",
		 "setsid " + sleeper + " &\n" + ready + "rm ready\n(" +
			 sleeper + " &)\n" + ready + "rm ready\nsetsid -f " +
			 sleeper + "\n" + ready,
		 3, 2},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		fs::remove(work + "/ready");
		outcome x = run({"--", "bash", "-c", c.body});
		EXPECT_EQ(x.r.status, 0);
		EXPECT_EQ(x.report["ended"], "exit");
		EXPECT_EQ(x.report["status"], "0");
		EXPECT_EQ(x.report["left"], std::to_string(c.left));
		EXPECT_EQ(x.report["leftsessions"], std::to_string(c.sessions));
		EXPECT_LT(std::stol(x.report["ms"]), 3000);
		EXPECT_LT(x.seconds, 4);
		EXPECT_EQ(x.left, std::vector<pid_t>{});
	}
}

TEST_P(runs, a_grandchild_writing_on_is_stopped_with_the_run)
{
	outcome x = run({"--", "bash", "-c",
			 "(while :; do echo x >>grow; sleep 0.01; done) &\n"
			 "until [ -s grow ]; do sleep 0.01; done\n"});
	EXPECT_EQ(x.report["ended"], "exit");
	EXPECT_GE(std::stoi(x.report["left"]), 1);
	EXPECT_EQ(x.left, std::vector<pid_t>{});
	auto size = fs::file_size(work + "/grow");
	std::this_thread::sleep_for(300ms);
	EXPECT_EQ(fs::file_size(work + "/grow"), size);
}

TEST_P(runs, the_time_bound_ends_a_program_that_ignores_sigterm)
{
	outcome x = run({"-t", "1", "--", "bash", "-c",
			 "trap '' TERM; sleep 30 & exec sleep 30"});
	EXPECT_EQ(x.r.status, 0);
	EXPECT_EQ(x.report["ended"], "timeout");
	EXPECT_EQ(x.report.count("status"), 0U);
	EXPECT_EQ(x.report["left"], "1");
	long ms = std::stol(x.report["ms"]);
	EXPECT_GE(ms, 1000);
	EXPECT_LT(ms, 2000);
	EXPECT_GT(x.seconds, 0.9);
	EXPECT_LT(x.seconds, 3);
	EXPECT_EQ(x.left, std::vector<pid_t>{});
}

// SIGTERM or SIGINT to labrun ends the run, even one labrun was started
// with ignored, as a shell starts a background job; the program gets the
// signals as labrun got them.
TEST_P(runs, sigterm_or_sigint_to_labrun_stops_the_run)
{
	const std::string sleeper("sleep\0"
				  "30\0",
				  9);
	struct {
		int sig;
		bool ignored;
	} cases[] = {{SIGTERM, false}, {SIGINT, false}, {SIGINT, true}};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(strsignal(c.sig)) +
			     (c.ignored ? ", ignored" : ""));
		fs::remove(work + "/pid");
		ignore.clear();
		if (c.ignored)
			ignore.push_back(c.sig);
		auto p = start({"-p", work + "/pid", "--", "sleep", "30"});
		ASSERT_TRUE(until([&] { return fs::exists(work + "/pid"); }));
		std::string proc = "/proc/" + slurp(work + "/pid");
		proc.pop_back();
		EXPECT_TRUE(until(
			[&] { return slurp(proc + "/cmdline") == sleeper; }));
		std::string status = slurp(proc + "/status");
		kill(p->pid(), c.sig);
		outcome x = finish(*p);
		EXPECT_EQ(x.r.status, 0);
		EXPECT_EQ(x.report["ended"], "stopped");
		EXPECT_LT(x.seconds, 5);
		EXPECT_EQ(x.left, std::vector<pid_t>{});
		EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"),
			  std::string::npos)
			<< status;
		EXPECT_NE(status.find(c.ignored
					      ? "SigIgn:\t0000000000000002\n"
					      : "SigIgn:\t0000000000000000\n"),
			  std::string::npos)
			<< status;
	}
}

TEST_P(runs, tells_how_the_command_ended)
{
	struct {
		const char *what;
		std::vector<std::string> args;
		int status;
		std::string ended, key, value;
	} cases[] = {
		{"an exit status",
		 {"--", "bash", "-c", "exit 3"},
		 0,
		 "exit",
		 "status",
		 "3"},
		{"a signal",
		 {"--", "bash", "-c", "kill -SEGV $$"},
		 0,
		 "signal",
		 "signal",
		 "SIGSEGV"},
		{"no such program",
		 {"--", "/nonexistent/prog"},
		 127,
		 "notstarted",
		 "error",
		 "/nonexistent/prog: No such file or directory"},
		{"none on PATH",
		 {"--", "fdlab-no-such-program"},
		 127,
		 "notstarted",
		 "error",
		 "fdlab-no-such-program: No such file or directory"},
		{"no such directory",
		 {"-C", "/nonexistent/dir", "--", "true"},
		 127,
		 "notstarted",
		 "error",
		 "/nonexistent/dir: No such file or directory"},
		{"no such input",
		 {"-i", "/nonexistent/in", "--", "true"},
		 127,
		 "notstarted",
		 "error",
		 "/nonexistent/in: No such file or directory"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		outcome x = run(c.args);
		EXPECT_EQ(x.r.status, c.status);
		EXPECT_EQ(x.report["ended"], c.ended);
		EXPECT_EQ(x.report[c.key], c.value);
		EXPECT_EQ(x.left, std::vector<pid_t>{});
	}
}

// A command that writes up to its very end ends as it ended, however its
// last output, its end and init's come to labrun: many runs at once, each
// of a command that writes to both streams until it exits 0.
TEST_P(runs, the_end_of_a_command_that_writes_to_the_last_is_told_right)
{
	const std::string script = R"(exe=$1 dir=$2; shift 2
for j in $(seq 8); do
	(mkdir "$dir/$j" && cd "$dir/$j" &&
	for i in $(seq 200); do
		"$exe" "$@" -o o -e e -r report -- \
			sh -c 'seq 3000; seq 3000 >&2' >/dev/null 2>&1
		c=$?
		[ $c = 0 ] && grep -qx ended=exit report ||
			echo "run $j.$i: labrun exit $c," \
				$(grep -e ^ended= -e ^error= report)
	done) &
done
wait
)";
	std::vector<std::string> argv{tool("bash"), "-c", script};
	argv.insert(argv.end(), {"bash", exe, work});
	if (GetParam().plain)
		argv.emplace_back("-N");
	auto p = as(argv);
	support::result r = p->wait();
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(marked(mark), std::vector<pid_t>{});
}

TEST_P(runs, paths_with_spaces)
{
	fs::create_directory(work + "/a dir");
	put("a dir/my prog", "#!/bin/sh\npwd\ncat\n",
	    fs::perms::owner_all | fs::perms::group_read |
		    fs::perms::group_exec | fs::perms::others_read |
		    fs::perms::others_exec);
	put("in file", "from the input\n");
	outcome x = run({"-C", work + "/a dir", "-i", work + "/in file", "-o",
			 work + "/out file", "--", work + "/a dir/my prog"});
	EXPECT_EQ(x.report["ended"], "exit");
	EXPECT_EQ(x.report["status"], "0");
	EXPECT_EQ(slurp(work + "/out file"), work + "/a dir\nfrom the input\n");
}

TEST_P(runs, without_o_the_output_is_labruns_own)
{
	outcome x = run({"--", "sh", "-c", "echo out; echo err >&2"});
	EXPECT_EQ(x.r.out, "out\n");
	EXPECT_EQ(x.r.err, "err\n");
	EXPECT_EQ(x.report.count("out"), 0U);
}

// A FIFO with no writer holds up the command's start, not labrun.
TEST_P(runs, input_from_a_fifo_without_a_writer)
{
	std::string fifo = work + "/fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
	outcome x =
		run({"-t", "1", "-i", fifo, "-p", work + "/pid", "--", "cat"});
	EXPECT_EQ(x.report["ended"], "timeout");
	EXPECT_FALSE(x.report["pid"].empty());
	EXPECT_TRUE(fs::exists(work + "/pid"));
	EXPECT_EQ(x.left, std::vector<pid_t>{});
}

// The pid in -p is the command's, as /proc outside shows it, and it leads
// its own session and group.
TEST_P(runs, the_pid_file_names_the_command)
{
	const std::string body = "until [ -e done ]; do sleep 0.01; done";
	auto p = start({"-p", work + "/pid", "--", "bash", "-c", body});
	ASSERT_TRUE(until([&] { return fs::exists(work + "/pid"); }));
	pid_t pid = std::stoi(slurp(work + "/pid"));
	std::string want = std::string("bash\0-c\0", 8) + body + '\0';
	EXPECT_TRUE(until([&] {
		return slurp("/proc/" + std::to_string(pid) + "/cmdline") ==
		       want;
	}));
	EXPECT_EQ(field(pid, 2), pid); // the process group
	EXPECT_EQ(field(pid, 3), pid); // the session
	put("done", "");
	outcome x = finish(*p);
	EXPECT_EQ(x.report["pid"], std::to_string(pid));
	EXPECT_EQ(x.report["ended"], "exit");
}

// In a PID namespace the program is pid 2 under labrun's init, and its
// /proc shows the namespace alone; -p still gives the pid outside.
TEST_P(runs, the_program_sees_its_own_pids)
{
	const std::string body =
		"echo $$ >self; ls /proc >list; mv list procs\n"
		"until [ -e done ]; do sleep 0.01; done";
	auto p = start({"-p", work + "/pid", "--", "bash", "-c", body});
	ASSERT_TRUE(until([&] { return fs::exists(work + "/procs"); }));
	ASSERT_TRUE(until([&] { return fs::exists(work + "/pid"); }));
	pid_t pid = std::stoi(slurp(work + "/pid"));
	std::string self = slurp(work + "/self"),
		    status = slurp("/proc/" + std::to_string(pid) + "/status");
	std::istringstream in(slurp(work + "/procs"));
	std::vector<long> pids;
	for (std::string s; in >> s;)
		if (s.find_first_not_of("0123456789") == std::string::npos)
			pids.push_back(std::stol(s));
	put("done", "");
	outcome x = finish(*p);
	if (GetParam().plain) {
		EXPECT_EQ(self, std::to_string(pid) + "\n");
		EXPECT_NE(x.report["contain"].find("subreaper"),
			  std::string::npos);
		return;
	}
	if (x.report["contain"].find("pidns") == std::string::npos)
		GTEST_SKIP()
			<< "no PID namespace here: " << x.report["nocontain"];
	EXPECT_EQ(self, "2\n");
	EXPECT_NE(pid, 2);
	EXPECT_NE(status.find("NSpid:\t" + std::to_string(pid) + "\t2\n"),
		  std::string::npos)
		<< status;
	// init, the program, and ls
	EXPECT_EQ(pids, (std::vector<long>{1, 2, 3}));
}

TEST(labrun, exit_statuses_of_its_own)
{
	support::scratch s;
	struct {
		const char *what;
		std::vector<std::string> argv;
		int status;
		bool usage;
	} cases[] = {
		{"no command", {"labrun"}, 125, true},
		{"no command after --", {"labrun", "--"}, 125, true},
		{"an unknown option",
		 {"labrun", "-x", "--", "true"},
		 125,
		 true},
		{"a time that is no number",
		 {"labrun", "-t", "1s", "--", "true"},
		 125,
		 true},
		{"a negative time",
		 {"labrun", "-t", "-1", "--", "true"},
		 125,
		 true},
		{"a bound that is no number",
		 {"labrun", "-m", "1k", "--", "true"},
		 125,
		 true},
		{"a negative file size",
		 {"labrun", "-f", "-1", "--", "true"},
		 125,
		 true},
		{"an output it cannot open",
		 {"labrun", "-o", "/nonexistent/out", "-r", s / "report", "--",
		  "true"},
		 125,
		 false},
		{"a report it cannot write",
		 {"labrun", "-r", "/nonexistent/report", "--", "true"},
		 125,
		 false},
		{"a command that fails", {"labrun", "--", "false"}, 0, false},
		{"a command not found",
		 {"labrun", "--", "/nonexistent"},
		 127,
		 false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto r = support::run({support::bin("labrun"), c.argv});
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err.find("usage: labrun") != std::string::npos,
			  c.usage)
			<< r.err;
	}
	auto report = keys(s / "report");
	EXPECT_EQ(report["ended"], "notstarted");
	EXPECT_EQ(report["error"],
		  "/nonexistent/out: No such file or directory");
}

// Output is kept up to the bound and the rest counted, files the program
// writes are cut at -f bytes, and labrun's own memory stays small.
TEST_P(runs, output_and_files_are_bounded)
{
	outcome x = run({"-t", "2", "-o", work + "/out", "-e", work + "/err",
			 "--", "sh", "-c", "yes & yes >&2 & wait"});
	EXPECT_EQ(x.report["ended"], "timeout");
	for (const char *k : {"out", "err"}) {
		SCOPED_TRACE(k);
		std::string kept = slurp(work + "/" + k);
		EXPECT_EQ(kept.size(), 1U << 20);
		EXPECT_EQ(kept.find_first_not_of("y\n"), std::string::npos);
		EXPECT_EQ(x.report[k], "1048576");
		EXPECT_GT(std::stoll(x.report[k + std::string("more")]),
			  10LL << 20);
	}
	EXPECT_LT(x.peak, 32 << 10);
	EXPECT_LT(x.seconds, 4);
	EXPECT_EQ(x.left, std::vector<pid_t>{});
	std::printf("flood: %s+%s bytes out, %s+%s err in %.2f s, labrun's "
		    "peak memory %ld kB\n",
		    x.report["out"].c_str(), x.report["outmore"].c_str(),
		    x.report["err"].c_str(), x.report["errmore"].c_str(),
		    x.seconds, x.peak);

	x = run({"-m", "5", "-o", work + "/out", "--", "echo", "hello world"});
	EXPECT_EQ(slurp(work + "/out"), "hello");
	EXPECT_EQ(x.report["out"], "5");
	EXPECT_EQ(x.report["outmore"], "7");

	x = run({"-f", "3145728", "--", "dd", "if=/dev/zero", "of=big", "bs=1M",
		 "count=64"});
	EXPECT_EQ(x.report["ended"], "signal");
	EXPECT_EQ(x.report["signal"], "SIGXFSZ");
	EXPECT_EQ(fs::file_size(work + "/big"), 3145728U);
	EXPECT_LT(x.peak, 32 << 10);
	std::printf("files: big cut at %ju bytes in %.2f s, labrun's peak "
		    "memory %ld kB\n",
		    static_cast<uintmax_t>(fs::file_size(work + "/big")),
		    x.seconds, x.peak);
}

// A fork bomb, bounded by the test itself where labrun would fail to:
// as root in a pids cgroup of the test's, as a user under its hard
// RLIMIT_NPROC.
TEST_P(both, a_fork_bomb_ends_with_the_run)
{
	std::unique_ptr<pidsgroup> cgroup;
	if (geteuid() == 0) {
		cgroup = std::make_unique<pidsgroup>(2000);
		if (!cgroup->why.empty())
			GTEST_SKIP()
				<< "no pids cgroup to bound root's fork bomb "
				   "in: "
				<< cgroup->why;
		bounds = {"/bin/sh", "-c", "echo $$ >\"$0\" && exec \"$@\"",
			  cgroup->dir + "/cgroup.procs"};
	}
	if (GetParam().by == user) {
		// The user's processes now, and room for labrun's bound.
		long n = 0;
		for (const auto &e : fs::directory_iterator("/proc")) {
			struct stat st;
			if (::stat(e.path().c_str(), &st) == 0 &&
			    st.st_uid == uid)
				n++;
		}
		std::string limit = std::to_string(n + 1000);
		bounds.insert(bounds.end(),
			      {"/bin/bash", "-c",
			       "ulimit -u \"$0\" && exec \"$@\"", limit});
	}
	for (bool plain : {false, true}) {
		SCOPED_TRACE(plain ? "without namespaces" : "in namespaces");
		std::vector<std::string> args{"-t",   "2",  "--",
					      "perl", "-e", "fork while 1"};
		if (plain)
			args.insert(args.begin(), "-N");
		outcome x = run(args);
		EXPECT_EQ(x.r.status, 0);
		EXPECT_EQ(x.report["ended"], "timeout");
		EXPECT_GT(std::stoi(x.report["left"]), 100);
		EXPECT_LT(x.seconds, 5);
		EXPECT_LT(x.peak, 32 << 10);
		EXPECT_EQ(x.left, std::vector<pid_t>{});
		std::printf("fork bomb as %s: %s processes left at the end, "
			    "ended in %.2f s, labrun's peak memory %ld kB; "
			    "contain=%s\n",
			    GetParam().name, x.report["left"].c_str(),
			    x.seconds, x.peak, x.report["contain"].c_str());
	}
}

// The project is read-only to the program, but for its scratch
// directory, where labrun has a mount namespace; without, it says so.
TEST_P(both, the_project_is_read_only_but_for_the_scratch_directory)
{
	std::string project = work + "/project";
	for (const char *d : {"", "/tools", "/scratch"}) {
		fs::create_directory(project + d);
		if (chown((project + d).c_str(), uid, -1) < 0)
			FAIL() << "chown";
	}
	const std::vector<std::string> args{
		"-R", project,
		"-w", project + "/scratch",
		"-C", project + "/scratch",
		"-e", work + "/err",
		"--", "sh",
		"-c", "echo x >../tools/verdict; echo x >mine"};
	outcome x = run(args);
	if (x.report["contain"].find("mountns") == std::string::npos)
		GTEST_SKIP()
			<< "no mount namespace here: " << x.report["nocontain"];
	EXPECT_EQ(x.report["ended"], "exit");
	EXPECT_FALSE(fs::exists(project + "/tools/verdict"));
	EXPECT_TRUE(fs::exists(project + "/scratch/mine"));
	EXPECT_NE(slurp(work + "/err").find("Read-only file system"),
		  std::string::npos)
		<< slurp(work + "/err");
	EXPECT_NE(x.report["contain"].find("readonly"), std::string::npos);

	std::vector<std::string> plain{"-N"};
	plain.insert(plain.end(), args.begin(), args.end());
	x = run(plain);
	EXPECT_EQ(x.report["contain"].find("readonly"), std::string::npos);
	EXPECT_NE(x.report["nocontain"].find("readonly: no mount namespace"),
		  std::string::npos);
}

// A check looks at the program from the shell that started labrun: its
// system call, its descriptors, and kcmp between processes of the run.
TEST_P(both, the_checks_shell_can_watch_the_program)
{
	if (tool("perl").empty())
		GTEST_SKIP() << "no perl to call kcmp with";
	for (const char *n : {"", "-N"}) {
		SCOPED_TRACE(*n ? "without namespaces" : "in namespaces");
		fs::remove(work + "/pid");
		auto p = as({"/bin/bash", "-c", R"(
cd "$1"
"$0" $2 -t 10 -p pid -r report -- bash -c 'sleep 30 & wait' &
i=0
until [ -s pid ] || [ $((i += 1)) -gt 1000 ]; do sleep 0.01; done
read -r p <pid
for i in $(seq 1000); do
	c=$(cat "/proc/$p/task/$p/children")
	s=$(cut -d' ' -f1 "/proc/$p/syscall")
	[ -z "$c" ] || [ "$s" != 61 ] || break
	sleep 0.01
done
echo "syscall=$s"
grep ^flags: "/proc/$p/fdinfo/1"
perl -e 'print "kcmp=", syscall(312, $ARGV[0] + 0, $ARGV[1] + 0, 0, 1, 1),
	" ", $! + 0, "\n"' "$p" "$c"
kill $!
wait
)",
			     exe, work, n});
		outcome x = finish(*p);
		EXPECT_NE(x.r.out.find("syscall=61\n"), std::string::npos)
			<< x.r.out << x.r.err;
		EXPECT_NE(x.r.out.find("flags:"), std::string::npos);
		EXPECT_NE(x.r.out.find("kcmp=0 0\n"), std::string::npos);
		EXPECT_EQ(x.report["ended"], "stopped");
		EXPECT_EQ(x.left, std::vector<pid_t>{});
	}
}

// strace as the command, tracing the program it starts, as a check runs
// it.
TEST_P(both, strace_traces_inside_the_run)
{
	if (tool("strace").empty())
		GTEST_SKIP() << "no strace";
	outcome x = run({"--", "strace", "-f", "-o", "trace", "sh", "-c",
			 "true; true"});
	EXPECT_EQ(x.report["ended"], "exit");
	EXPECT_EQ(x.report["status"], "0");
	std::string trace = slurp(work + "/trace");
	EXPECT_NE(trace.find("[\"sh\", \"-c\", \"true; true\"]"),
		  std::string::npos);
	EXPECT_NE(trace.find("+++ exited with 0 +++"), std::string::npos);
	EXPECT_EQ(x.left, std::vector<pid_t>{});
}

// Where no PID namespace can be had (here: none may be made in the user
// namespace labrun runs in), labrun says why, and as a subreaper still
// ends what leaves the session.
TEST_P(both, without_a_pid_namespace_the_subreaper_ends_the_run)
{
	std::string unshare = tool("unshare");
	if (unshare.empty())
		GTEST_SKIP() << "no unshare to make a user namespace with";
	const std::string none = "echo 0 >/proc/sys/user/max_pid_namespaces && "
				 "exec \"$0\" \"$@\"";
	const std::string daemon =
		"setsid -f sh -c ': >ready; exec sleep 1000'\n"
		"until [ -e ready ]; do sleep 0.01; done";
	auto p = as({unshare, "--user", "--map-root-user", "/bin/sh", "-c",
		     none, exe, "-C", work, "-r", work + "/report", "--", "sh",
		     "-c", daemon});
	outcome x = finish(*p);
	if (x.report.empty())
		GTEST_SKIP() << "no user namespace here: " << x.r.err;
	EXPECT_EQ(x.report["ended"], "exit");
	EXPECT_NE(x.report["nocontain"].find("pidns: ENOSPC"),
		  std::string::npos);
	EXPECT_NE(x.report["contain"].find("subreaper"), std::string::npos);
	EXPECT_EQ(x.report["left"], "1");
	EXPECT_EQ(x.report["leftsessions"], "1");
	EXPECT_LT(x.seconds, 4);
	EXPECT_EQ(x.left, std::vector<pid_t>{});
}
