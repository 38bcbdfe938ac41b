#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "run.h"
#include "scratch.h"

using support::bin;
using support::fixture;

namespace {

const std::string letters = "abcdefghijklmnopqrstuvwxyz";

// A directory holding wo.txt and, as ./exe1, the probe that reads `take`
// bytes through the descriptor it is handed.
struct setup {
	support::scratch dir;
	support::options o{bin("forkshare"), {"forkshare"}};

	explicit setup(const std::string &wo, int take = 0)
	{
		dir.put("wo.txt", wo);
		std::filesystem::copy_file(fixture("probe"), dir / "exe1");
		o.cwd = dir.path();
		o.env = {"PROBE_TAG=passed-on",
			 "PROBE_READ=" + std::to_string(take)};
	}
	support::result run() const { return support::run(o); }
};

std::string
probe(const std::string &fd, const std::string &read)
{
	return "probe [exe1][" + fd + "] tag=passed-on read=" + read + "\n";
}

std::string
report(const std::string &fd, const std::string &child, const std::string &exe1,
       const std::string &parent)
{
	return fd + "\nchild, bytes:" + child + "\n\n" + exe1 +
	       "parent, bytes:" + parent + "\n\n";
}

} // namespace

TEST(forkshare, parent_reads_on_from_where_child_and_exe1_stopped)
{
	struct {
		const char *what;
		std::string wo;
		int take;
		std::string out;
	} cases[] = {
		{"exe1 reads nothing", letters, 0,
		 report("3", "1,a", probe("3", "0:"),
			"19,bcdefghijklmnopqrst")},
		{"exe1 reads 5", letters, 5,
		 report("3", "1,a", probe("3", "5:bcdef"),
			"19,ghijklmnopqrstuvwxy")},
		{"exe1 reads to the end", letters, 30,
		 report("3", "1,a", probe("3", "25:" + letters.substr(1)),
			"0,")},
		{"empty file", "", 0,
		 report("3", "0,", probe("3", "0:"), "0,")},
		{"one byte", "z", 0,
		 report("3", "1,z", probe("3", "0:"), "0,")},
		{"zero byte cuts the text", std::string("abc\0def", 7), 0,
		 report("3", "1,a", probe("3", "0:"), "6,bc")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		setup s(c.wo, c.take);
		auto r = s.run();
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

TEST(forkshare, every_line_once_in_order_on_pipe_file_and_terminal)
{
	const std::string want = report("3", "1,a", probe("3", "2:bc"),
					"19,defghijklmnopqrstuv");
	for (std::string where : {"pipe", "file", "terminal"}) {
		SCOPED_TRACE(where);
		setup s(letters, 2);
		int file = -1;
		if (where == "file") {
			file = open((s.dir / "report").c_str(),
				    O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
			s.o.out = file;
		}
		s.o.tty = where == "terminal";
		auto r = s.run();
		if (file >= 0) {
			close(file);
			r.out = s.dir.get("report");
		}
		EXPECT_EQ(r.out, want);
		EXPECT_EQ(r.status, 0);
	}
}

TEST(forkshare, descriptor_number_of_any_size_reaches_exe1)
{
	rlimit nofile{};
	getrlimit(RLIMIT_NOFILE, &nofile);
	if (nofile.rlim_max < 10100)
		GTEST_SKIP() << "the hard limit on open files is below 10100";
	setup s(letters, 2);
	s.o.fdfloor = 10000;
	s.o.limits = {{RLIMIT_NOFILE, 10100}};
	auto r = s.run();
	EXPECT_EQ(r.out, report("10000", "1,a", probe("10000", "2:bc"),
				"19,defghijklmnopqrstuv"));
	EXPECT_EQ(r.status, 0);
}

TEST(forkshare, clearing_close_on_exec_is_what_keeps_it_open_in_exe1)
{
	// The shim opens wo.txt with close-on-exec set; only forkshare's own
	// clearing of the flag lets exe1 read through it.
	setup s(letters, 2);
	s.o.preload = fixture("cloexec.so");
	auto r = s.run();
	EXPECT_EQ(r.out, report("3", "1,a", probe("3", "2:bc"),
				"19,defghijklmnopqrstuv"));

	// The control: with the clearing refused, exe1 finds nothing open.
	s.o.faults = {{SYS_fcntl, EPERM, F_SETFD}};
	r = s.run();
	EXPECT_EQ(r.out, report("3", "1,a", probe("3", "-1:"),
				"19,bcdefghijklmnopqrst"));
}

TEST(forkshare, failures_report_and_exit_1)
{
	const std::string ok_lines = "parent, bytes:19,bcdefghijklmnopqrst\n\n";
	struct {
		const char *what;
		void (*arrange)(setup &);
		std::string out, err;
	} cases[] = {
		{"wo.txt missing",
		 [](setup &s) { std::filesystem::remove(s.dir / "wo.txt"); },
		 report("-1", "-1,", probe("-1", "-1:"), "-1,"), ""},
		{"exe1 missing",
		 [](setup &s) { std::filesystem::remove(s.dir / "exe1"); },
		 "3\nchild, bytes:1,a\n\n" + ok_lines,
		 "ececl fail:: No such file or directory\n"},
		{"exe1 not executable",
		 [](setup &s) {
			 std::filesystem::permissions(
				 s.dir / "exe1",
				 std::filesystem::perms::owner_read);
		 },
		 "3\nchild, bytes:1,a\n\n" + ok_lines,
		 "ececl fail:: Permission denied\n"},
		{"exe1 fails",
		 [](setup &s) { s.o.env->push_back("PROBE_EXIT=3"); },
		 report("3", "1,a", probe("3", "0:"), "19,bcdefghijklmnopqrst"),
		 ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		setup s(letters);
		c.arrange(s);
		auto r = s.run();
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.status, 1);
	}
}

TEST(forkshare, a_refused_fork_is_reported)
{
	if (support::sanitized)
		GTEST_SKIP() << "LeakSanitizer needs clone at exit, which this "
				"refuses";
	setup s(letters);
	s.o.faults = {{SYS_clone, EAGAIN},
		      {SYS_clone3, EAGAIN},
		      {SYS_fork, EAGAIN},
		      {SYS_vfork, EAGAIN}};
	auto r = s.run();
	EXPECT_EQ(r.out, "3\n");
	EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n");
	EXPECT_EQ(r.status, 1);
}

TEST(forkshare, report_lost_on_a_full_device_is_a_failure)
{
	setup s(letters);
	s.o.out = open("/dev/full", O_WRONLY | O_CLOEXEC);
	auto r = s.run();
	close(s.o.out);
	EXPECT_EQ(r.err, "write error: No space left on device\n");
	EXPECT_EQ(r.status, 1);
}

TEST(exe1, tells_its_arguments_before_what_went_wrong_on_one_pipe)
{
	support::scratch dir;
	dir.put("wo.txt", letters);
	struct {
		const char *what;
		std::vector<std::string> argv;
		std::string said;
	} cases[] = {
		{"no such descriptor",
		 {"exe1", "9"},
		 "exe1: argv[0] = \"exe1\"\nexe1: argv[1] = \"9\"\n"
		 "exe1: read: Bad file descriptor\n"},
		{"no argument",
		 {"exe1"},
		 "exe1: argv[0] = \"exe1\"\nusage: exe1 descriptor\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		// Standard output and standard error on one pipe, as a
		// learner's terminal shows them through a pager or a log.
		int fds[2];
		ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
		support::options o(bin("exe1"), c.argv);
		o.cwd = dir.path();
		o.out = o.err = fds[1];
		auto r = support::run(o);
		close(fds[1]);
		std::string said;
		char buf[256];
		for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
			said.append(buf, n);
		close(fds[0]);
		EXPECT_EQ(said, c.said);
		EXPECT_NE(r.status, 0);
	}
}
