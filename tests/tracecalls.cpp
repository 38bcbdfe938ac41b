// tracecalls: the records it makes of real traces, written by Debian 12's
// strace (samples/strace/bookworm) and Debian 13's (samples/strace/trixie)
// as samples/strace/record made them, and of traces cut from those.
//
// A record is pid, time, call, ret, err, fd, file, args, note; -T's
// duration is the last word of note, as dur=SECONDS.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run.h"
#include "scratch.h"

using support::bin;
using support::slurp;

namespace {

using row = std::vector<std::string>;

const std::string samples = std::string(SAMPLES) + "/strace/";
const char *const releases[] = {"bookworm", "trixie"};
const std::string header = "pid\ttime\tcall\tret\terr\tfd\tfile\targs\tnote";
// Where record ran the traced program.
const std::string cwd = "/tmp/tracecalls-samples/";

support::result
trace(const std::vector<std::string> &files, const std::string &input = "")
{
	support::options o(bin("tracecalls"), {"tracecalls"});
	o.argv.insert(o.argv.end(), files.begin(), files.end());
	o.input = input;
	return support::run(o);
}

// The records after the header, each split at its tabs.
std::vector<row>
records(const std::string &out)
{
	std::vector<row> rs;
	std::istringstream in(out);
	std::string l;
	std::getline(in, l);
	while (std::getline(in, l)) {
		row r;
		std::istringstream f(l);
		for (std::string s; std::getline(f, s, '\t');)
			r.push_back(s);
		if (!l.empty() && l.back() == '\t')
			r.emplace_back();
		rs.push_back(r);
	}
	return rs;
}

// The first n lines of s.
std::string
head(const std::string &s, int n)
{
	std::size_t at = 0;
	for (int i = 0; i < n; i++)
		at = s.find('\n', at) + 1;
	return s.substr(0, at);
}

// The sample in each release, or in the one its name begins with.
std::vector<std::string>
paths(const std::string &sample)
{
	std::vector<std::string> ps;
	for (std::string release : releases) {
		release += '/';
		if (sample.rfind(release, 0) == 0)
			return {samples + sample};
		std::string p = samples + release;
		ps.push_back(p.append(sample));
	}
	return ps;
}

// A record expected of a sample, by its place among the sample's records.
struct want {
	const char *sample;
	std::size_t at;
	std::string pid, time, call, ret, err, fd, file, args, note;
};

void
expect(const std::vector<want> &cases)
{
	for (const auto &c : cases)
		for (const auto &path : paths(c.sample)) {
			SCOPED_TRACE(path + ", record " + std::to_string(c.at));
			auto rs = records(trace({path}).out);
			ASSERT_LT(c.at, rs.size());
			row w{c.pid, c.time, c.call, c.ret, c.err,
			      c.fd,  c.file, c.args, c.note};
			EXPECT_EQ(rs[c.at], w);
		}
}

} // namespace

TEST(tracecalls, reads_every_line_of_every_sample)
{
	struct {
		const char *sample;
		std::size_t records;
	} cases[] = {
		{"files", 28},
		{"files-y", 28},
		{"files-yy", 28},
		{"files-y-s0", 28},
		{"files-Xraw", 28},
		{"waits-ttt-T", 18},
		{"waits-t", 4},
		{"waits-tt", 4},
		{"waits-r", 4},
		{"forks-f", 19},
		{"forks-f-ttt-T", 17},
		{"forks-f-stderr", 17},
		{"forks-ff/trace.6", 12},
		{"forks-ff/trace.7", 3},
		{"forks-ff/trace.8", 2},
		{"block", 3},
		{"block-live", 2},
	};
	for (const auto &c : cases)
		for (const auto &path : paths(c.sample)) {
			SCOPED_TRACE(path);
			auto r = trace({path});
			EXPECT_EQ(r.status, 0);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(r.out.substr(0, r.out.find('\n')), header);
			auto rs = records(r.out);
			EXPECT_EQ(rs.size(), c.records);
			for (const auto &rec : rs)
				EXPECT_EQ(rec.size(), 9U)
					<< testing::PrintToString(rec);
		}
}

TEST(tracecalls, descriptors_files_and_strings_as_y_shows_them)
{
	const std::string out = cwd + "with space/out file";
	const std::string odd = cwd + R"(a\76b \"q\")";
	const std::string tricky = R"("a)b\" = \"<x>, 3<y> (c\n\td\\e")";
	expect({
		// -y's file after a path with a space, on descriptors whose
		// strings hold ')', " = ", '<', quotes and escapes.
		{"files-y", 0, "", "", "open", "3", "", "", out,
		 R"("with space/out file", O_WRONLY|O_CREAT|O_TRUNC, 0644)",
		 ""},
		{"files-y", 1, "", "", "write", "25", "", "3", out,
		 "3, " + tricky + ", 25", ""},
		{"files-y", 2, "", "", "fcntl", "0x8001", "", "3", out,
		 "3, F_GETFL", "flags O_WRONLY|O_LARGEFILE"},
		{"files-y", 3, "", "", "fcntl", "0", "", "3", out,
		 "3, F_SETFL, O_WRONLY|O_APPEND", ""},
		{"files-y", 4, "", "", "fcntl", "0x8401", "", "3", out,
		 "3, F_GETFL", "flags O_WRONLY|O_APPEND|O_LARGEFILE"},
		{"files-y", 5, "", "", "fcntl", "0", "", "3", out,
		 "3, F_SETFD, FD_CLOEXEC", ""},
		{"files-y", 6, "", "", "fcntl", "11", "", "3", out,
		 "3, F_DUPFD, 10", ""},
		{"files-y", 7, "", "", "dup", "4", "", "3", out, "3", ""},
		{"files-y", 8, "", "", "dup2", "20", "", "3", out, "3, 20", ""},
		{"files-y", 9, "", "", "dup3", "21", "", "3", out,
		 "3, 21, O_CLOEXEC", ""},
		{"files-y", 10, "", "", "close", "0", "", "3", out, "3", ""},
		{"files-y", 11, "", "", "creat", "3", "", "", odd,
		 R"("a>b \"q\"", 0644)", ""},
		{"files-y", 12, "", "", "write", "1", "", "3", odd,
		 R"(3, "x", 1)", ""},
		// AT_FDCWD is no descriptor; the file is the one opened.
		{"files-y", 13, "", "", "openat", "5", "", "",
		 cwd + "with space",
		 R"(AT_FDCWD, "with space", O_RDONLY|O_DIRECTORY)", ""},
		{"files-y", 14, "", "", "openat", "6", "", "5", out,
		 R"(5, "out file", O_RDONLY)", ""},
		{"files-y", 15, "", "", "read", "25", "", "6", out,
		 "6, " + tricky + ", 64", ""},
		{"files-y", 16, "", "", "lseek", "2", "", "6", out,
		 "6, 2, SEEK_SET", ""},
		{"files-y", 17, "", "", "pread64", "5", "", "6", out,
		 R"(6, ")b\" =", 5, 1)", ""},
		{"files-y", 18, "", "", "openat", "-1", "ENOENT", "", "",
		 R"(AT_FDCWD, "missing", O_RDONLY)",
		 "No such file or directory"},
		{"files-y", 19, "", "", "close", "-1", "EBADF", "99", "", "99",
		 "Bad file descriptor"},
		{"files-y", 21, "", "", "open", "7", "", "", "/dev/null",
		 R"("/dev/null", O_WRONLY)", ""},
		{"files-y", 23, "", "", "pipe2", "0", "", "", "", "[8, 9], 0",
		 ""},
		{"files-y", 26, "", "", "socketpair", "0", "", "", "",
		 "AF_UNIX, SOCK_STREAM, 0, [12, 13]", ""},
		{"bookworm/files-y", 24, "", "", "write", "16", "", "9",
		 "pipe:[381611]", R"(9, "0123456789abcdef", 16)", ""},
		{"trixie/files-y", 25, "", "", "read", "16", "", "8",
		 "pipe:[388428]", R"(8, "0123456789abcdef", 16)", ""},
		// -yy: a device's numbers, a socket's ends.
		{"files-yy", 21, "", "", "open", "7", "", "", "/dev/null",
		 R"("/dev/null", O_WRONLY)", ""},
		{"files-yy", 22, "", "", "write", "4", "", "7", "/dev/null",
		 R"(7, "gone", 4)", ""},
		{"bookworm/files-yy", 27, "", "", "write", "2", "", "12",
		 "UNIX-STREAM:[381641->381642]", R"(12, "hi", 2)", ""},
		{"trixie/files-yy", 27, "", "", "write", "2", "", "12",
		 "UNIX-STREAM:[388459->388460]", R"(12, "hi", 2)", ""},
		// Without -y, with -s 0, with -X raw.
		{"files", 1, "", "", "write", "25", "", "3", "",
		 "3, " + tricky + ", 25", ""},
		{"files", 13, "", "", "openat", "5", "", "", "",
		 R"(AT_FDCWD, "with space", O_RDONLY|O_DIRECTORY)", ""},
		{"files", 18, "", "", "openat", "-1", "ENOENT", "", "",
		 R"(AT_FDCWD, "missing", O_RDONLY)",
		 "No such file or directory"},
		{"files-y-s0", 1, "", "", "write", "25", "", "3", out,
		 R"(3, ""..., 25)", ""},
		{"files-y-s0", 23, "", "", "pipe2", "0", "", "", "", "[...], 0",
		 ""},
		{"files-Xraw", 3, "", "", "fcntl", "0", "", "3", "",
		 "3, 0x4, 0x401", ""},
		{"files-Xraw", 4, "", "", "fcntl", "0x8401", "", "3", "",
		 "3, 0x3", "flags O_WRONLY|O_APPEND|O_LARGEFILE"},
		{"files-Xraw", 13, "", "", "openat", "5", "", "", "",
		 R"(-100, "with space", 0x10000)", ""},
		{"files-Xraw", 18, "", "", "openat", "-1", "ENOENT", "", "",
		 R"(-100, "missing", 0)", "No such file or directory"},
	});
}

TEST(tracecalls, stamps_durations_and_what_follows_the_result)
{
	const std::string ready = "[{fd=3, revents=POLLIN}]";
	const std::string ppoll1 =
		"[{fd=5, events=POLLIN}], 1, {tv_sec=0, tv_nsec=10000000}, "
		"NULL, 8";
	const std::string ppoll2 =
		"[{fd=5, events=POLLIN}, {fd=3, events=POLLIN}], 2, "
		"{tv_sec=1, tv_nsec=0}, NULL, 8";
	const std::string clock =
		"CLOCK_MONOTONIC, 0, {tv_sec=0, tv_nsec=1000000}, NULL";
	const std::string usr1 = "SIGUSR1 {si_signo=SIGUSR1, si_code=SI_USER, "
				 "si_pid=6, si_uid=0}";
	expect({
		// Stamps: -ttt as printed, -t and -tt since midnight, -r as
		// printed; -T's duration after the words of the note.
		{"bookworm/waits-ttt-T", 3, "", "1796915754.750207", "poll",
		 "1", "", "", "", "[{fd=3, events=POLLIN}], 1, 0",
		 ready + " dur=0.000012"},
		{"bookworm/waits-ttt-T", 4, "", "1796915754.750261", "poll",
		 "0", "", "", "", "[{fd=5, events=POLLIN}], 1, 10",
		 "Timeout dur=0.010112"},
		{"bookworm/waits-ttt-T", 6, "", "1796915754.760471", "ppoll",
		 "0", "", "", "", ppoll1, "Timeout dur=0.010105"},
		{"bookworm/waits-ttt-T", 8, "", "1796915754.770689", "ppoll",
		 "1", "", "", "", ppoll2,
		 ready + ", left {tv_sec=0, tv_nsec=999999029} dur=0.000009"},
		{"bookworm/waits-ttt-T", 10, "", "1796915754.771843",
		 "clock_nanosleep", "0", "", "", "", clock, "dur=0.001096"},
		{"bookworm/waits-ttt-T", 12, "", "1796915754.773099", "+signal",
		 "", "", "", "", usr1, ""},
		{"bookworm/waits-ttt-T", 14, "", "1796915754.773188", "pause",
		 "?", "ERESTARTNOHAND", "", "", "",
		 "To be restarted if no handler dur=0.021309"},
		{"bookworm/waits-ttt-T", 16, "", "1796915754.794591",
		 "rt_sigreturn", "-1", "EINTR", "", "", "{mask=[]}",
		 "Interrupted system call dur=0.000011"},
		{"bookworm/waits-ttt-T", 17, "", "1796915754.794656",
		 "exit_group", "?", "", "4", "", "4", ""},
		{"trixie/waits-ttt-T", 4, "", "1796915765.191752", "poll", "0",
		 "", "", "", "[{fd=5, events=POLLIN}], 1, 10",
		 "Timeout dur=0.010088"},
		{"trixie/waits-ttt-T", 8, "", "1796915765.212136", "ppoll", "1",
		 "", "", "", ppoll2,
		 ready + ", left {tv_sec=0, tv_nsec=999999018} dur=0.000009"},
		{"trixie/waits-ttt-T", 14, "", "1796915765.214534", "pause",
		 "?", "ERESTARTNOHAND", "", "", "",
		 "To be restarted if no handler dur=0.020065"},
		{"bookworm/waits-t", 0, "", "54954", "nanosleep", "0", "", "",
		 "", "{tv_sec=0, tv_nsec=1000000}, NULL", ""},
		{"trixie/waits-t", 3, "", "54965", "+signal", "", "", "", "",
		 "SIGALRM {si_signo=SIGALRM, si_code=SI_KERNEL}", ""},
		{"bookworm/waits-tt", 1, "", "54954.914470", "clock_nanosleep",
		 "0", "", "", "", clock, ""},
		{"trixie/waits-tt", 2, "", "54965.316477", "+signal", "", "",
		 "", "", usr1, ""},
		{"bookworm/waits-r", 1, "", "0.003143", "clock_nanosleep", "0",
		 "", "", "", clock, ""},
		{"trixie/waits-r", 0, "", "0.000000", "nanosleep", "0", "", "",
		 "", "{tv_sec=0, tv_nsec=1000000}, NULL", ""},
	});
}

TEST(tracecalls, processes_signals_and_calls_split_in_two)
{
	const std::string clone =
		"child_stack=NULL, "
		"flags=CLONE_CHILD_CLEARTID|CLONE_CHILD_SETTID|"
		"SIGCHLD, child_tidptr=";
	const std::string exited =
		"SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=7, "
		"si_uid=0, si_status=3, si_utime=0, si_stime=0}";
	const std::string killed =
		"-1, [{WIFSIGNALED(s) && WTERMSIG(s) == SIGKILL}], 0, NULL";
	const std::string sleep = "{tv_sec=0, tv_nsec=50000000}, NULL";
	expect({
		// -f: calls split by another process's, joined where they
		// resumed; a child's exit, a signal, a kill.
		{"bookworm/forks-f", 4, "6", "", "read", "4", "", "3", "",
		 R"(3, "late", 16)", ""},
		{"bookworm/forks-f", 5, "7", "", "write", "4", "", "4", "",
		 R"(4, "late", 4)", ""},
		{"bookworm/forks-f", 6, "6", "", "clone", "8", "", "", "",
		 clone + "0x36fbe650", ""},
		{"bookworm/forks-f", 7, "7", "", "exit_group", "?", "", "3", "",
		 "3", ""},
		{"bookworm/forks-f", 8, "7", "", "+exit", "3", "", "", "", "",
		 ""},
		{"bookworm/forks-f", 9, "6", "", "nanosleep", "?",
		 "ERESTART_RESTARTBLOCK", "", "", sleep,
		 "Interrupted by signal"},
		{"bookworm/forks-f", 10, "6", "", "+signal", "", "", "", "",
		 exited, ""},
		{"bookworm/forks-f", 12, "8", "", "read", "?", "", "5", "", "5",
		 "unfinished"},
		{"bookworm/forks-f", 13, "8", "", "+killed", "", "", "", "",
		 "SIGKILL", ""},
		{"bookworm/forks-f", 14, "6", "", "wait4", "7", "", "", "",
		 "-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 3}], 0, NULL", ""},
		{"bookworm/forks-f", 16, "6", "", "wait4", "8", "", "", "",
		 killed, ""},
		{"bookworm/forks-f", 18, "6", "", "+exit", "0", "", "", "", "",
		 ""},
		{"trixie/forks-f", 4, "6", "", "read", "4", "", "3", "",
		 R"(3, "late", 16)", ""},
		{"trixie/forks-f", 6, "7", "", "exit_group", "?", "", "3", "",
		 "3", ""},
		{"trixie/forks-f", 8, "6", "", "clone", "8", "", "", "",
		 clone + "0x1999d690", ""},
		{"trixie/forks-f", 12, "8", "", "read", "?", "", "5", "", "5",
		 "unfinished"},
		{"trixie/forks-f", 14, "8", "", "+killed", "", "", "", "",
		 "SIGKILL", ""},
		// With stamps: a joined call's is when it began, its duration
		// the one strace gave where it resumed.
		{"bookworm/forks-f-ttt-T", 4, "6", "1796915755.162767", "read",
		 "4", "", "3", "", R"(3, "late", 16)", "dur=0.050399"},
		{"bookworm/forks-f-ttt-T", 8, "6", "1796915755.213376",
		 "nanosleep", "?", "ERESTART_RESTARTBLOCK", "", "", sleep,
		 "Interrupted by signal dur=0.000099"},
		{"bookworm/forks-f-ttt-T", 11, "8", "1796915755.213468", "read",
		 "?", "", "5", "", "5", "unfinished"},
		{"bookworm/forks-f-ttt-T", 13, "8", "1796915755.264039",
		 "+killed", "", "", "", "", "SIGKILL", ""},
		{"trixie/forks-f-ttt-T", 5, "6", "1796915765.514462", "read",
		 "4", "", "3", "", R"(3, "late", 16)", "dur=0.051192"},
		{"trixie/forks-f-ttt-T", 9, "6", "1796915765.565972",
		 "nanosleep", "0", "", "", "", sleep, "dur=0.050115"},
		{"trixie/forks-f-ttt-T", 11, "8", "1796915765.566003", "read",
		 "?", "", "5", "", "5", "unfinished"},
		// On standard error: "[pid N]" while there are two processes,
		// the first one's lines bare before and after; a call begun
		// bare and resumed under its pid has the pid, and one begun
		// under it and resumed bare keeps it.
		{"forks-f-stderr", 0, "", "", "pipe2", "0", "", "", "",
		 "[3, 4], 0", ""},
		{"forks-f-stderr", 3, "7", "", "nanosleep", "0", "", "", "",
		 sleep, ""},
		{"bookworm/forks-f-stderr", 5, "6", "", "read", "4", "", "3",
		 "pipe:[384078]", R"(3, "late", 16)", ""},
		{"bookworm/forks-f-stderr", 11, "8", "", "read", "?", "", "5",
		 "pipe:[384084]", "5", "unfinished"},
		{"trixie/forks-f-stderr", 5, "6", "", "read", "4", "", "3",
		 "pipe:[388689]", R"(3, "late", 16)", ""},
		{"forks-f-stderr", 13, "6", "", "wait4", "7", "", "", "",
		 "-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 3}], 0, NULL", ""},
		{"trixie/forks-f-stderr", 16, "", "", "exit_group", "?", "",
		 "0", "", "0", ""},
		// -ff: the pid from the file's name.
		{"forks-ff/trace.6", 0, "6", "", "pipe2", "0", "", "", "",
		 "[3, 4], 0", ""},
		{"forks-ff/trace.6", 5, "6", "", "+signal", "", "", "", "",
		 exited, ""},
		{"forks-ff/trace.7", 2, "7", "", "exit_group", "?", "", "3", "",
		 "3", ""},
		{"forks-ff/trace.8", 0, "8", "", "read", "?", "", "5", "", "5",
		 "unfinished"},
		{"forks-ff/trace.8", 1, "8", "", "+killed", "", "", "", "",
		 "SIGKILL", ""},
		// Killed in poll, and read while still in it: the line cut
		// short. -y's annotation within a structure.
		{"block", 0, "", "", "pipe2", "0", "", "", "", "[3, 4], 0", ""},
		{"block", 1, "", "", "poll", "?", "", "", "",
		 "[{fd=3, events=POLLIN}], 1, -1", "unfinished"},
		{"block", 2, "", "", "+killed", "", "", "", "", "SIGKILL", ""},
		{"block-live", 1, "", "", "poll", "?", "", "", "",
		 "[{fd=3, events=POLLIN}], 1, -1", "unfinished"},
	});
}

TEST(tracecalls, unfinished_calls_come_last_of_their_process)
{
	support::scratch dir;
	// Through "8 read(5,  <unfinished ...>": process 6 is in nanosleep,
	// 8 in read, neither resumed, both listed last in the order they
	// began.
	dir.put("cut", head(slurp(samples + "bookworm/forks-f"), 11));
	// Without "<... read resumed> <unfinished ...>) = ?": the read
	// comes where its process ends, after the wait4 of 6 that came
	// between.
	std::string dropped = slurp(samples + "trixie/forks-f");
	const std::string resumed =
		"8     <... read resumed> <unfinished ...>) = ?\n";
	ASSERT_NE(dropped.find(resumed), std::string::npos);
	dropped.erase(dropped.find(resumed), resumed.size());
	dir.put("dropped", dropped);
	struct {
		const char *what;
		std::vector<std::string> files;
		std::size_t records;
		std::vector<std::pair<std::size_t, row>> want;
	} cases[] = {
		{"cut while two wait",
		 {dir / "cut"},
		 9,
		 {{7,
		   {"6", "", "nanosleep", "?", "", "", "",
		    "{tv_sec=0, tv_nsec=50000000}", "unfinished"}},
		  {8, {"8", "", "read", "?", "", "5", "", "5", "unfinished"}}}},
		{"killed before it resumed",
		 {dir / "dropped"},
		 19,
		 {{12,
		   {"6", "", "wait4", "7", "", "", "",
		    "-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 3}], 0, NULL",
		    ""}},
		  {13, {"8", "", "read", "?", "", "5", "", "5", "unfinished"}},
		  {14, {"8", "", "+killed", "", "", "", "", "SIGKILL", ""}}}},
		// Each file a trace of its own: its name gives the pid, and
		// what still waits at its end is left there, before the next.
		{"-ff files together",
		 {samples + "bookworm/forks-ff/trace.8",
		  samples + "bookworm/forks-ff/trace.6"},
		 14,
		 {{0, {"8", "", "read", "?", "", "5", "", "5", "unfinished"}},
		  {2, {"6", "", "pipe2", "0", "", "", "", "[3, 4], 0", ""}}}},
		{"cut in the middle of a call's arguments",
		 {samples + "trixie/block-live", dir / "cut"},
		 11,
		 {{1,
		   {"", "", "poll", "?", "", "", "",
		    "[{fd=3, events=POLLIN}], 1, -1", "unfinished"}},
		  {2, {"6", "", "pipe2", "0", "", "", "", "[3, 4], 0", ""}}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto r = trace(c.files);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "");
		auto rs = records(r.out);
		ASSERT_EQ(rs.size(), c.records);
		for (const auto &w : c.want)
			EXPECT_EQ(rs[w.first], w.second)
				<< "record " << w.first;
	}
}

TEST(tracecalls, standard_input_has_no_name_to_take_a_pid_from)
{
	const std::string path = samples + "bookworm/forks-ff/trace.7";
	auto r = trace({}, slurp(path));
	EXPECT_EQ(r.status, 0);
	auto rs = records(r.out);
	ASSERT_EQ(rs.size(), 3U);
	EXPECT_EQ(rs[2],
		  (row{"", "", "exit_group", "?", "", "3", "", "3", ""}));
	EXPECT_EQ(trace({"-"}, slurp(path)).out, r.out);
}

TEST(tracecalls, keeps_each_record_on_one_line)
{
	// strace escapes a tab in a string; one that reached the input raw
	// must still not split the record.
	auto r = trace({}, "write(1, \"a\tb\\n\", 4) = 4\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out,
		  header + "\n\t\twrite\t4\t\t1\t\t1, \"a\\tb\\n\", 4\t\n");
}

TEST(tracecalls, tells_lines_it_cannot_read_from_nothing_there)
{
	support::scratch dir;
	std::string good = samples + "bookworm/forks-ff/trace.7";
	dir.put("mixed", "strace: Process 7 attached\n" + slurp(good) +
				 "\nsome output of the program\n"
				 "(flags O_RDONLY)\n");
	dir.put("empty", "");
	// Cut by a file size bound as strace wrote: the last line ends in its
	// first field, with no newline; with one, it is a line not read.
	dir.put("cut", slurp(good) + "7 17969");
	dir.put("cutnl", slurp(good) + "7 17969\n");
	struct {
		const char *what;
		std::vector<std::string> args;
		int status;
		std::size_t records;
		std::string err;
	} cases[] = {
		{"foreign lines among strace's",
		 {dir / "mixed"},
		 1,
		 3,
		 "tracecalls: " + dir / "mixed" +
			 ": 2 lines not understood, the first line 6\n"},
		{"an empty trace", {dir / "empty"}, 0, 0, ""},
		{"a last line cut before a field reads",
		 {dir / "cut"},
		 0,
		 3,
		 ""},
		{"the same line ended",
		 {dir / "cutnl"},
		 1,
		 3,
		 "tracecalls: " + dir / "cutnl" +
			 ": 1 lines not understood, the first line 4\n"},
		{"a missing file",
		 {dir / "missing"},
		 2,
		 0,
		 "tracecalls: " + dir / "missing" +
			 ": No such file or directory\n"},
		{"a missing file after one read",
		 {good, dir / "missing"},
		 2,
		 3,
		 "tracecalls: " + dir / "missing" +
			 ": No such file or directory\n"},
		{"an option",
		 {"-c", good},
		 2,
		 0,
		 "tracecalls: invalid option -- 'c'\n"
		 "usage: tracecalls [file ...]\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto r = trace(c.args);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(records(r.out).size(), c.records);
	}
}

TEST(tracecalls, survives_lines_cut_anywhere)
{
	// Every start of every line of a sample, each a line of its own, as
	// a trace read while strace writes it may end anywhere.
	support::scratch dir;
	std::istringstream in(slurp(samples + "bookworm/forks-f-ttt-T") +
			      slurp(samples + "trixie/files-yy"));
	std::string cuts;
	for (std::string l; std::getline(in, l);)
		for (std::size_t n = 0; n <= l.size(); n++)
			cuts += l.substr(0, n) + "\n";
	dir.put("cuts", cuts);
	auto r = trace({dir / "cuts"});
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_EQ(r.out.substr(0, r.out.find('\n')), header);
	for (const auto &rec : records(r.out))
		ASSERT_EQ(rec.size(), 9U) << testing::PrintToString(rec);
}

TEST(tracecalls, reads_100000_lines_within_a_second)
{
	support::scratch dir;
	const std::string one = slurp(samples + "bookworm/forks-f");
	const auto n = std::count(one.begin(), one.end(), '\n');
	ASSERT_GT(n, 0) << "no sample to repeat";
	std::string many;
	long lines = 0, calls = 0;
	for (; lines < 100000; lines += n, calls += 19)
		many += one;
	dir.put("long", many);
	auto start = std::chrono::steady_clock::now();
	auto r = trace({dir / "long"});
	std::chrono::duration<double> took =
		std::chrono::steady_clock::now() - start;
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(records(r.out).size(), std::size_t(calls));
	std::cout << lines << " lines read in " << took.count() << " s\n";
	// The sanitizers slow every step several times over.
	EXPECT_LT(took.count(), support::sanitized ? 5.0 : 1.0);
}
