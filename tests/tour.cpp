// The tour, run whole with no display, as a new user would see it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "run.h"

extern char **environ;

namespace {

// The tour's output cut at its headings, by program name.
std::map<std::string, std::string>
sections(const std::string &out)
{
	std::map<std::string, std::string> s;
	std::string *cur = nullptr;
	for (std::size_t at = 0; at < out.size();) {
		std::size_t end = out.find('\n', at);
		if (end == std::string::npos)
			end = out.size();
		std::string line = out.substr(at, end - at);
		if (line.rfind("== ", 0) == 0)
			cur = &s[line.substr(3, line.find(':') - 3)];
		else if (cur)
			*cur += line + "\n";
		at = end + 1;
	}
	return s;
}

support::result
tour(std::vector<std::string> args)
{
	std::vector<std::string> env;
	for (char **e = environ; *e; e++)
		if (std::strncmp(*e, "DISPLAY=", 8) != 0)
			env.emplace_back(*e);
	std::vector<std::string> argv{"bash", TOUR, "--build", BUILD};
	argv.insert(argv.end(), args.begin(), args.end());
	support::options o("/bin/bash", argv);
	o.env = env;
	o.timeout = 300;
	return support::run(o);
}

const char *const programs[] = {"arglines",  "sumprint",  "forkshare",
				"fcntlcopy", "oflagcopy", "relaxcopy",
				"firstwin"};

// The copy table of the summary, by its first column.
struct row {
	std::string sync;
	long calls = 0;
	std::string writes; // a number, or "-" where none could be counted
};

std::map<std::string, row>
copytable(const std::string &summary)
{
	static const std::regex line(
		R"(^(.*?) +(on|off) +(\d+) +[\d.]+ +[\d.]+ +(\d+|-)$)");
	std::map<std::string, row> rows;
	std::istringstream in(summary);
	for (std::string l; std::getline(in, l);)
		if (std::smatch m; std::regex_match(l, m, line))
			rows[m[1]] = {m[2], std::stol(m[3]), m[4]};
	return rows;
}

// The numbers of the fact line that holds these words.
std::vector<long>
numbers(const std::string &part, const std::string &words)
{
	static const std::regex number(R"(\d+)");
	std::vector<long> n;
	std::istringstream in(part);
	for (std::string l; std::getline(in, l);)
		if (l.rfind("-> ", 0) == 0 &&
		    l.find(words) != std::string::npos) {
			for (std::sregex_iterator i(l.begin(), l.end(), number),
			     end;
			     i != end; ++i)
				n.push_back(std::stol(i->str()));
			break;
		}
	return n;
}

} // namespace

TEST(tour, every_part_runs_and_reports_what_it_shows)
{
	if (support::sanitized)
		GTEST_SKIP() << "the tour runs the programs under strace, and "
				"LeakSanitizer cannot run under ptrace";
	auto r = tour({});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out.find("\x1b["), std::string::npos) << "colour on a pipe";
	EXPECT_NE(r.out.find("\ntour: done\n"), std::string::npos);

	auto s = sections(r.out);
	// Linux 5.18 and later hand a program started with an empty argument
	// vector one empty argument instead.
	const bool filled = support::kernel_at_least(5, 18);
	struct {
		const char *part;
		std::string fact;
	} facts[] = {
		{"arglines", "arglines\n\ntwo words\na.txt\nb.txt\n\n"},
		{"arglines", filled ? "0000000  \\n  \\n\n" : "0000000  \\n\n"},
		{"arglines",
		 filled ? "one empty argument in place of the empty "
			  "vector: 2 lines\n"
			: "the empty vector as it was: 1 line\n"},
		{"sumprint", "x is 7\n"},
		{"sumprint", "U add(int, int)"},
		{"sumprint", "T add(int, int)"},
		{"sumprint", "-> main.o linked alone: undefined reference to "
			     "`add(int, int)'\n"},
		{"sumprint", "-> main.o linked with fun.o: x is 7\n"},
		{"forkshare", "-> the child read 1 byte from offset 0\n"},
		{"forkshare", "-> exe1 read 3 bytes from offset 1\n"},
		{"forkshare", "-> the parent read from offset 4\n"},
		{"forkshare", "> \tint fd = open(\"wo.txt\", O_RDONLY | "
			      "O_CLOEXEC);\n"},
		{"forkshare", "-> close-on-exec set: exe1 read through "
			      "descriptor 3: Bad file descriptor\n"},
		{"forkshare", "-> the parent read from offset 1\n"},
		{"forkshare", "-> while exe1 ran: forkshare's descriptor 3 and "
			      "exe1's descriptor 3 are one open file "
			      "description, at offset 4\n"},
		{"forkshare",
		 "-> while exe1 ran: forkshare holds descriptor 3, "
		 "at offset 1; exe1 holds nothing on wo.txt\n"},
		{"fcntlcopy", "new\nold old old old old old\n"},
		{"fcntlcopy",
		 "-> descriptor 3: O_WRONLY|O_LARGEFILE: O_SYNC is off\n"},
		{"fcntlcopy", "fcntl(3, F_SETFL, O_WRONLY|O_SYNC|O_LARGEFILE)"},
		{"oflagcopy", "-> descriptor 3: O_WRONLY|O_SYNC|O_LARGEFILE: "
			      "O_SYNC is on\n"},
		{"oflagcopy", "openat(AT_FDCWD, \"./out\", O_WRONLY|O_SYNC)"},
		{"oflagcopy", "write(3, \"\"..., 488)"},
		{"relaxcopy",
		 "-> descriptor 1: O_WRONLY|O_LARGEFILE: O_SYNC is off\n"},
		{"relaxcopy", "-> descriptor 1: O_WRONLY|O_SYNC|O_LARGEFILE: "
			      "O_SYNC is on\n"},
		{"firstwin", "-> screenshot saved: "},
		{"firstwin", "-> the event loop is blocked in "},
		{"firstwin", "-> firstwin exited with status 0\n"},
	};
	for (const auto &f : facts)
		EXPECT_NE(s[f.part].find(f.fact), std::string::npos)
			<< f.part << " lacks: " << f.fact << "\n"
			<< s[f.part];
	EXPECT_EQ(s.size(), 8u);

	// Each copy's write calls timed one by one, drawn as a histogram.
	for (const char *part : {"fcntlcopy", "oflagcopy", "relaxcopy"}) {
		SCOPED_TRACE(part);
		auto at = s[part].find(" writes timed: p50 ");
		ASSERT_NE(at, std::string::npos) << s[part];
		EXPECT_NE(s[part].find(", p99 ", at), std::string::npos);
		EXPECT_NE(s[part].find(", max ", at), std::string::npos);
		EXPECT_EQ(s[part].substr(at - 3, 3), "512") << s[part];
	}

	// The page: where it is, and what it holds as data.
	const std::string page = std::string(BUILD) + "/tour";
	EXPECT_NE(r.out.find("-> the page of this tour, to hand in or to "
			     "project: " +
			     page + "/report.html\n"),
		  std::string::npos);
	EXPECT_TRUE(std::filesystem::exists(page + "/report.html"));
	int histograms = 0, figures = 0;
	for (const auto &e :
	     std::filesystem::directory_iterator(page + "/latency"))
		histograms += e.path().extension() == ".data";
	for (const auto &e : std::filesystem::directory_iterator(page + "/fds"))
		figures += e.path().extension() == ".svg";
	EXPECT_EQ(histograms, 4);
	EXPECT_EQ(figures, 2);

	// Left alone the event loop sleeps; a key press wakes it.
	auto idle = numbers(s["firstwin"], "over one second");
	ASSERT_EQ(idle.size(), 2u) << s["firstwin"];
	EXPECT_LT(idle[0], 20'000'000) << "ns of CPU while idle";
	EXPECT_LE(idle[1], 2) << "wake-ups while idle";
	auto key = numbers(s["firstwin"], "for one key press");
	ASSERT_EQ(key.size(), 2u) << s["firstwin"];
	EXPECT_GE(key[0], 1) << "wake-ups for a key press";

	// The same copy with and without O_SYNC in force: where the device's
	// counters can be read, the synchronous copies made a device write
	// for every write call at least, the others far fewer.
	const std::string &summary = s["summary"];
	auto rows = copytable(summary);
	struct {
		const char *copy, *sync;
	} want[] = {
		{"fcntlcopy", "off"},
		{"oflagcopy", "on"},
		{"relaxcopy > out", "off"},
		{"relaxcopy > O_SYNC out", "on"},
	};
	EXPECT_EQ(rows.size(), 4u) << summary;
	const bool counted = rows["oflagcopy"].writes != "-";
	for (const auto &w : want) {
		SCOPED_TRACE(w.copy);
		const row &c = rows[w.copy];
		EXPECT_EQ(c.sync, w.sync);
		EXPECT_EQ(c.calls, 512);
		if (!counted) {
			EXPECT_EQ(c.writes, "-");
			continue;
		}
		ASSERT_NE(c.writes, "-");
		if (c.sync == "on")
			EXPECT_GE(std::stol(c.writes), c.calls);
		else
			EXPECT_LT(std::stol(c.writes), c.calls / 4);
	}
	EXPECT_NE(summary.find(counted ? "Read it: with O_SYNC on, "
				       : "No device writes could be counted: "),
		  std::string::npos)
		<< summary;

	// Each part ends with its program's manual page, and the summary has
	// one line for each program, with what it showed.
	const std::string lines = "\n" + summary;
	for (const std::string prog : programs) {
		EXPECT_NE(s[prog].find("More in its manual page: man "),
			  std::string::npos);
		EXPECT_NE(s[prog].find(prog + ".1\n"), std::string::npos);
		std::string line = "\n" + prog;
		line += ' ';
		EXPECT_NE(lines.find(line), std::string::npos)
			<< prog << " has no line in the summary";
	}
}

TEST(tour, runs_one_part_alone_and_keeps_its_scratch_directory_if_asked)
{
	auto r = tour({"--keep", "forkshare"});
	ASSERT_EQ(r.status, 0) << r.err;
	auto s = sections(r.out);
	EXPECT_EQ(s.size(), 2u) << "its part and the summary";
	EXPECT_NE(s["forkshare"].find("-> the parent read from offset 4"),
		  std::string::npos);
	const std::string summary = "\n" + s["summary"];
	EXPECT_NE(summary.find("\nforkshare "), std::string::npos);
	EXPECT_EQ(summary.find("\narglines "), std::string::npos);

	const std::string kept = "The scratch directory is kept: ";
	auto at = r.out.find(kept);
	ASSERT_NE(at, std::string::npos);
	std::string dir = r.out.substr(at + kept.size());
	dir = dir.substr(0, dir.find('\n'));
	EXPECT_TRUE(std::filesystem::exists(dir + "/wo.txt"));
	std::filesystem::remove_all(dir);
}

TEST(tour, refuses_what_it_does_not_know)
{
	auto r = tour({"nosuch"});
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("no such program: nosuch"), std::string::npos);
}
