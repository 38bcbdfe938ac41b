// The tour, run whole with no display, as a new user would see it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

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
	struct {
		const char *part, *fact;
	} facts[] = {
		{"arglines", "arglines\n\ntwo words\na.txt\nb.txt\n\n"},
		{"sumprint", "x is 7\n"},
		{"sumprint", "U add(int, int)"},
		{"sumprint", "T add(int, int)"},
		{"forkshare", "-> the child read 1 byte from offset 0\n"},
		{"forkshare", "-> exe1 read 3 bytes from offset 1\n"},
		{"forkshare", "-> the parent read from offset 4\n"},
		{"fcntlcopy", "new\nold old old old old old\n"},
		{"fcntlcopy",
		 "-> descriptor 3: O_WRONLY|O_LARGEFILE: O_SYNC is off\n"},
		{"fcntlcopy", "write(3, \"\"..., 488)"},
		{"oflagcopy", "-> descriptor 3: O_WRONLY|O_SYNC|O_LARGEFILE: "
			      "O_SYNC is on\n"},
		{"oflagcopy", "write(3, \"\"..., 512)"},
		{"relaxcopy",
		 "-> descriptor 1: O_WRONLY|O_LARGEFILE: O_SYNC is off\n"},
		{"relaxcopy", "-> descriptor 1: O_WRONLY|O_SYNC|O_LARGEFILE: "
			      "O_SYNC is on\n"},
		{"firstwin", "-> screenshot saved: "},
		{"firstwin", "-> firstwin exited with status 0\n"},
	};
	for (const auto &f : facts)
		EXPECT_NE(s[f.part].find(f.fact), std::string::npos)
			<< f.part << " lacks: " << f.fact << "\n"
			<< s[f.part];
	EXPECT_EQ(s.size(), 7u);
}

TEST(tour, runs_one_part_alone_and_keeps_its_scratch_directory_if_asked)
{
	auto r = tour({"--keep", "forkshare"});
	ASSERT_EQ(r.status, 0) << r.err;
	auto s = sections(r.out);
	EXPECT_EQ(s.size(), 1u);
	EXPECT_NE(s["forkshare"].find("-> the parent read from offset 4"),
		  std::string::npos);

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
