// The exercises, checked on a copy of the tree as a learner would check
// them: the starting code fails, naming what is missing; each wrong answer
// in tests/labs/NAME/ fails with its own message; the reference solution
// passes. A case is a directory of files put over the exercise's, with the
// line the check must print in the file "expected".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "run.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

const fs::path top = TOP;
const fs::path cases = fs::path(TOP) / "tests" / "labs";

std::string
slurp(const fs::path &p)
{
	std::ifstream f(p);
	std::stringstream s;
	s << f.rdbuf();
	std::string t = s.str();
	while (!t.empty() && t.back() == '\n')
		t.pop_back();
	return t;
}

// Every exercise, as lab lists them.
std::vector<std::string>
exercises()
{
	std::vector<std::string> names;
	for (const auto &e : fs::directory_iterator(top / "labs"))
		if (fs::exists(e.path() / "README.md"))
			names.push_back(e.path().filename());
	std::sort(names.begin(), names.end());
	return names;
}

// A copy of what lab needs, to check and change as a learner would.
struct tree {
	support::scratch dir;

	tree()
	{
		for (const char *p : {"lab", "labs", "tour.d"})
			fs::copy(top / p, dir / p, fs::copy_options::recursive);
	}
	fs::path exercise(const std::string &name) const
	{
		return fs::path(dir.path()) / "labs" / name;
	}
	// The exercise's files as they start, then those of a case over them.
	void put(const std::string &name, const fs::path &over) const
	{
		fs::remove_all(exercise(name));
		fs::copy(top / "labs" / name, exercise(name),
			 fs::copy_options::recursive);
		if (over.empty())
			return;
		for (const auto &e : fs::directory_iterator(over))
			if (e.path().filename() != "expected")
				fs::copy(e.path(),
					 exercise(name) / e.path().filename(),
					 fs::copy_options::overwrite_existing |
						 fs::copy_options::recursive);
	}
	support::options lab(std::vector<std::string> args) const
	{
		std::vector<std::string> argv{"bash", dir / "lab", "--build",
					      BUILD};
		argv.insert(argv.end(), args.begin(), args.end());
		support::options o("/bin/bash", argv);
		o.timeout = 300;
		return o;
	}
	support::result run(std::vector<std::string> args) const
	{
		return support::run(lab(std::move(args)));
	}
	// Processes still working in the copy: a check must leave none.
	std::vector<std::string> left() const
	{
		std::vector<std::string> found;
		for (const auto &e : fs::directory_iterator("/proc")) {
			std::error_code ec;
			auto cwd = fs::read_symlink(e.path() / "cwd", ec);
			if (!ec && cwd.string().rfind(dir.path(), 0) == 0)
				found.push_back(slurp(e.path() / "cmdline"));
		}
		return found;
	}
};

std::string
said(const support::result &r)
{
	return r.out + r.err;
}

class exercise : public testing::TestWithParam<std::string>
{
};

TEST_P(exercise,
       fails_from_the_start_and_on_each_wrong_answer_and_passes_solved)
{
	const std::string name = GetParam();
	tree t;

	auto r = t.run({"check", name});
	EXPECT_EQ(r.status, 1) << said(r);
	EXPECT_NE(r.out.find("not solved yet"), std::string::npos) << said(r);
	EXPECT_NE(r.out.find(slurp(cases / name / "expected")),
		  std::string::npos)
		<< "the starting code's check does not say: "
		<< slurp(cases / name / "expected") << "\n"
		<< said(r);

	int wrong = 0;
	for (const auto &e : fs::directory_iterator(cases / name)) {
		if (!e.is_directory())
			continue;
		SCOPED_TRACE(e.path().filename().string());
		wrong++;
		t.put(name, e.path());
		r = t.run({"check", name});
		EXPECT_EQ(r.status, 1) << said(r);
		EXPECT_NE(r.out.find(slurp(e.path() / "expected")),
			  std::string::npos)
			<< "its check does not say: "
			<< slurp(e.path() / "expected") << "\n"
			<< said(r);
		EXPECT_EQ(t.left(), std::vector<std::string>{});
	}

	t.put(name, top / "labs" / "solutions" / name);
	r = t.run({"check", name});
	EXPECT_EQ(r.status, 0) << said(r);
	EXPECT_NE(r.out.find("solved: "), std::string::npos) << said(r);
	EXPECT_NE(r.out.find("labs/solutions/" + name + "/"),
		  std::string::npos);
	EXPECT_EQ(t.left(), std::vector<std::string>{});
	RecordProperty("wrong answers", wrong);
}

INSTANTIATE_TEST_SUITE_P(labs, exercise, testing::ValuesIn(exercises()),
			 [](const auto &info) {
				 std::string n = info.param;
				 std::replace(n.begin(), n.end(), '-', '_');
				 return n;
			 });

TEST(lab, lists_every_exercise_unsolved_then_the_first_task)
{
	tree t;
	auto r = t.run({});
	ASSERT_EQ(r.status, 0) << said(r);
	for (const auto &name : exercises())
		EXPECT_NE(r.out.find("  -       " + name + " "),
			  std::string::npos)
			<< name << "\n"
			<< r.out;
	EXPECT_NE(r.out.find("The first unsolved one, arglines-environ:"),
		  std::string::npos);
	EXPECT_NE(r.out.find(
			  slurp(top / "labs" / "arglines-environ" / "README.md")
				  .substr(0, 40)),
		  std::string::npos);
	EXPECT_EQ(r.out.find("## Hint"), std::string::npos)
		<< "the task shows its hint";

	t.put("arglines-environ",
	      top / "labs" / "solutions" / "arglines-environ");
	ASSERT_EQ(t.run({"check", "arglines-environ"}).status, 0);
	r = t.run({});
	EXPECT_NE(r.out.find("  solved  arglines-environ "), std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("The first unsolved one, sumprint-extern:"),
		  std::string::npos)
		<< r.out;

	r = t.run({"hint", "arglines-environ"});
	EXPECT_EQ(r.out.rfind("## Hint", 0), 0u) << r.out;
	r = t.run({"nosuch"});
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("no such exercise: nosuch"), std::string::npos);
}

// Code that does not build, hangs, or leaves processes behind: each is
// said as it is, and nothing is left running.
TEST(lab, says_how_bad_code_ended_and_leaves_nothing_running)
{
	tree t;
	struct {
		const char *dir;
		int status;
	} bad[] = {{"nobuild", 1}, {"hangs", 1}, {"children", 1}};
	for (const auto &b : bad) {
		SCOPED_TRACE(b.dir);
		const fs::path over = cases / "bad" / b.dir;
		t.put("arglines-environ", over);
		auto r = t.run({"check", "arglines-environ"});
		EXPECT_EQ(r.status, b.status) << said(r);
		EXPECT_NE(said(r).find(slurp(over / "expected")),
			  std::string::npos)
			<< said(r);
		EXPECT_EQ(t.left(), std::vector<std::string>{});
	}
}

TEST(lab, reset_puts_the_starting_code_back_from_git)
{
	tree t;
	const auto file = t.exercise("arglines-environ") / "arglines.cpp";
	const std::string start = slurp(file);

	auto r = t.run({"reset", "arglines-environ"});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("no git clone"), std::string::npos) << r.err;

	const std::string git = "cd '" + t.dir.path() +
				"' && git init -q && git add -A && "
				"git -c user.name=lab -c user.email=lab@lab "
				"commit -qm start";
	ASSERT_EQ(std::system(git.c_str()), 0);
	std::ofstream(file) << "changed\n";
	r = t.run({"reset", "arglines-environ"});
	EXPECT_EQ(r.status, 0) << said(r);
	EXPECT_EQ(slurp(file), start);
}

TEST(lab, watch_checks_again_at_each_save_and_goes_on_once_solved)
{
	tree t;
	support::scratch out;
	out.put("said", "");
	auto o = t.lab({"watch", "arglines-environ"});
	o.timeout = 120;
	int fd = ::open((out / "said").c_str(), O_WRONLY);
	o.out = fd;
	o.hold = true;
	support::process p(o);
	::close(fd);

	// Until the output holds what, or 60 s have gone by.
	auto until = [&](const std::string &what) {
		for (int i = 0; i < 600; i++) {
			if (out.get("said").find(what) != std::string::npos)
				return true;
			std::this_thread::sleep_for(
				std::chrono::milliseconds(100));
		}
		return false;
	};
	ASSERT_TRUE(until("not solved yet")) << out.get("said");
	auto saved = std::chrono::steady_clock::now();
	t.put("arglines-environ",
	      top / "labs" / "solutions" / "arglines-environ");
	EXPECT_TRUE(until("labs/arglines-environ/ changed: checking again"))
		<< out.get("said");
	auto noticed = std::chrono::steady_clock::now();
	EXPECT_TRUE(until("solved: ")) << out.get("said");
	EXPECT_TRUE(until("Next: sumprint-extern")) << out.get("said");
	// Ctrl+C, as the terminal sends it to the watching shell.
	kill(p.pid(), SIGINT);
	auto r = p.wait();
	EXPECT_FALSE(r.timedout) << "Ctrl+C did not end it";
	EXPECT_EQ(r.status, 130);
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	EXPECT_EQ(t.left(), std::vector<std::string>{});
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
		noticed - saved);
	RecordProperty("ms to notice", static_cast<int>(ms.count()));
}

} // namespace
