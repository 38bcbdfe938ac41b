// The exercises, checked on a copy of the tree as a learner would check
// them: the starting code fails, naming what is missing; each wrong answer
// in tests/labs/NAME/ fails with its own message; each other right answer
// there, and the reference solution, pass; with any one source of evidence
// taken away, no check says "solved". A case is a directory of files put
// over the exercise's, with the line the check must print in "expected",
// or, for a right answer, in "solved".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <QFile>
#include <QXmlStreamReader>

#include "run.h"
#include "scratch.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

const fs::path top = TOP;
const fs::path cases = fs::path(TOP) / "tests" / "labs";

std::string
slurp(const fs::path &p)
{
	std::string t = support::slurp(p);
	while (!t.empty() && t.back() == '\n')
		t.pop_back();
	return t;
}

std::vector<std::string>
split(const std::string &s, char by)
{
	std::vector<std::string> v;
	std::istringstream in(s);
	for (std::string w; std::getline(in, w, by);)
		if (!w.empty() && w != "-")
			v.push_back(w);
	return v;
}

// One line of labs/exercises.
struct exercise {
	std::string name, program, title;
	std::vector<std::string> edits, given;
};

std::vector<exercise>
manifest()
{
	std::vector<exercise> all;
	std::ifstream f(top / "labs" / "exercises");
	for (std::string line; std::getline(f, line);) {
		if (line.empty() || line[0] == '#')
			continue;
		std::istringstream in(line);
		exercise e;
		std::string edits, given;
		in >> e.name >> e.program >> edits >> given >> std::ws;
		std::getline(in, e.title);
		e.edits = split(edits, ',');
		e.given = split(given, ',');
		all.push_back(e);
	}
	return all;
}

std::vector<std::string>
names()
{
	std::vector<std::string> n;
	for (const auto &e : manifest())
		n.push_back(e.name);
	return n;
}

// A copy of what lab needs, to check and change as a learner would, with
// the project's tools as links, any of which a test may replace.
struct tree {
	support::scratch dir;
	fs::path tools;

	tree()
	{
		// What lab reads, and the programs' own sources, which the
		// checks hold the learner's files against.
		for (const char *p : {"lab", "labs", "tour.d", "copyloop"})
			fs::copy(top / p, dir / p, fs::copy_options::recursive);
		for (const auto &e : manifest())
			if (!fs::exists(dir / e.program))
				fs::copy(top / e.program, dir / e.program,
					 fs::copy_options::recursive);
		tools = fs::path(dir / "tools") / "bin";
		fs::create_directories(dir / "shims");
		// Copies, inside the tree: a learner's code that writes over
		// them must meet the tree's, never the build's own.
		fs::create_directories(tools.parent_path());
		fs::copy(BUILD "/bin", tools, fs::copy_options::recursive);
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
			if (e.path().filename() != "expected" &&
			    e.path().filename() != "solved")
				fs::copy(e.path(),
					 exercise(name) / e.path().filename(),
					 fs::copy_options::overwrite_existing |
						 fs::copy_options::recursive);
	}
	// A tool of the project's replaced by a script, with the checksum a
	// build would have written for it.
	void replace(const std::string &tool, const std::string &script) const
	{
		fs::remove(tools / tool);
		std::ofstream(tools / tool) << script;
		fs::permissions(tools / tool, fs::perms::owner_all,
				fs::perm_options::add);
		const std::string sum = "cd '" + tools.string() +
					"' && sha256sum '" + tool + "' > '" +
					tool + ".sha256'";
		EXPECT_EQ(std::system(sum.c_str()), 0);
	}
	// A tool found on PATH, shadowed by a script.
	void shadow(const std::string &tool, const std::string &script) const
	{
		std::ofstream(dir / ("shims/" + tool)) << script;
		fs::permissions(dir / ("shims/" + tool), fs::perms::owner_all,
				fs::perm_options::add);
	}
	support::options lab(std::vector<std::string> args) const
	{
		std::vector<std::string> argv{"bash", dir / "lab", "--build",
					      tools.parent_path()};
		argv.insert(argv.end(), args.begin(), args.end());
		support::options o("/bin/bash", argv);
		std::vector<std::string> env;
		for (char **e = environ; *e; e++)
			if (std::strncmp(*e, "PATH=", 5) != 0)
				env.emplace_back(*e);
		env.push_back("PATH=" + (dir / "shims") + ":" +
			      std::getenv("PATH"));
		o.env = env;
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

bool
solved(const support::result &r)
{
	return r.status == 0 && r.out.find("\nsolved: ") != std::string::npos;
}

class exercises : public testing::TestWithParam<std::string>
{
};

std::string
named(const testing::TestParamInfo<std::string> &info)
{
	std::string n = info.param;
	std::replace(n.begin(), n.end(), '-', '_');
	return n;
}

TEST_P(exercises, fail_from_the_start_and_on_each_wrong_answer_and_pass_solved)
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

	int wrong = 0, right = 0;
	for (const auto &e : fs::directory_iterator(cases / name)) {
		if (!e.is_directory())
			continue;
		SCOPED_TRACE(e.path().filename().string());
		t.put(name, e.path());
		r = t.run({"check", name});
		if (fs::exists(e.path() / "solved")) {
			right++;
			EXPECT_TRUE(solved(r)) << said(r);
			EXPECT_NE(r.out.find(slurp(e.path() / "solved")),
				  std::string::npos)
				<< "its check does not say: "
				<< slurp(e.path() / "solved") << "\n"
				<< said(r);
		} else {
			wrong++;
			EXPECT_EQ(r.status, 1) << said(r);
			EXPECT_NE(r.out.find(slurp(e.path() / "expected")),
				  std::string::npos)
				<< "its check does not say: "
				<< slurp(e.path() / "expected") << "\n"
				<< said(r);
		}
		EXPECT_EQ(t.left(), std::vector<std::string>{});
	}
	EXPECT_GT(wrong, 0) << "no wrong answer to refuse";

	t.put(name, top / "labs" / "solutions" / name);
	r = t.run({"check", name});
	EXPECT_TRUE(solved(r)) << said(r);
	EXPECT_NE(r.out.find("labs/solutions/" + name + "/"),
		  std::string::npos);
	EXPECT_EQ(t.left(), std::vector<std::string>{});
	RecordProperty("wrong answers", wrong);
	RecordProperty("other right answers", right);
}

INSTANTIATE_TEST_SUITE_P(labs, exercises, testing::ValuesIn(names()), named);

// Stand-ins that run but yield no evidence: the check must say it could
// not measure, or that the code is not solved, and never "solved".
const std::map<std::string, std::string> standins = {
	// Runs the command, traces nothing.
	{"strace", "#!/bin/bash\nwhile [ $# -gt 0 ]; do case $1 in "
		   "-o|-s|-e|-E) shift 2 ;; -*) shift ;; *) break ;; esac; "
		   "done\nexec \"$@\"\n"},
	// Runs the command, writes no figures.
	{"iowatch", "#!/bin/bash\nshift 3\nexec \"$@\"\n"},
	{"fdmap", "#!/bin/sh\necho 'pid\tfd\tdesc\tpos\tflags\tnames\tcloexec"
		  "\tknown\tdev\tino\tpath'\n"},
	{"tracecalls", "#!/bin/sh\necho 'pid\ttime\tcall\tret\terr\tfd\tfile"
		       "\targs\tnote'\n"},
	{"exe1", "#!/bin/sh\nexit 0\n"},
	{"env", "#!/bin/sh\nexit 0\n"},
	// Runs nothing, reports nothing.
	{"labrun", "#!/bin/sh\nexit 0\n"},
	{"sysname", "#!/bin/sh\nexit 0\n"},
	{"liblabeltext.so", ""},
	// A screenshot that never comes: the check must bound its wait.
	{"import", "#!/bin/sh\nexec sleep 600\n"},
	{"nm", "#!/bin/sh\nexit 0\n"},
	{"readelf", "#!/bin/sh\nexit 0\n"},
	{"perl", "#!/bin/sh\nexit 1\n"},
};

// The sources of evidence each check reads.
const std::map<std::string, std::vector<std::string>> sources = {
	{"arglines-environ", {"env", "labrun"}},
	{"sumprint-extern", {"nm"}},
	{"sumprint-shared", {"nm", "readelf"}},
	{"forkshare-offset", {"strace", "tracecalls", "fdmap", "exe1"}},
	{"forkshare-cloexec", {"strace", "tracecalls", "fdmap", "exe1"}},
	{"fcntlcopy-append", {"strace", "tracecalls", "fdmap"}},
	{"fcntlcopy-sync", {"strace", "tracecalls", "fdmap", "iowatch"}},
	{"oflagcopy-bigwrites", {"strace", "tracecalls", "fdmap", "iowatch"}},
	{"relaxcopy-relax", {"fdmap", "perl", "iowatch"}},
	{"firstwin-clock",
	 {"strace", "tracecalls", "sysname", "liblabeltext.so", "import"}},
	{"firstwin-noblock",
	 {"strace", "tracecalls", "sysname", "liblabeltext.so"}},
};

TEST_P(exercises, never_solved_with_a_source_of_evidence_taken_away)
{
	const std::string name = GetParam();
	for (const auto &tool : sources.at(name)) {
		SCOPED_TRACE(tool);
		tree t;
		t.put(name, top / "labs" / "solutions" / name);
		if (fs::exists(fs::path(BUILD "/bin") / tool))
			t.replace(tool, standins.at(tool));
		else
			t.shadow(tool, standins.at(tool));
		auto r = t.run({"check", name});
		EXPECT_FALSE(solved(r)) << said(r);
		EXPECT_TRUE(r.status == 1 || r.status == 2) << said(r);
		if (r.status == 2) {
			EXPECT_NE(r.out.find("the check could not measure"),
				  std::string::npos)
				<< said(r);
		}
		EXPECT_EQ(t.left(), std::vector<std::string>{});
	}
}

// labrun failing, or a build tool it could not start, at the build or at
// a run of the program: the check could not measure, never a verdict on
// the learner's code, never a failure of lab's own. The stand-in runs the
// real labrun for all but the step it fails.
TEST(lab, labrun_failing_is_never_the_learners_fault)
{
	struct {
		const char *what, *fails, *report, *says;
	} cases[] = {
		{"labrun fails at the build", "cmake",
		 "ended=signal\nsignal=SIGKILL\nerror=init ended\n",
		 "could not measure the build: labrun failed: init ended"},
		{"cmake cannot start", "cmake",
		 "ended=notstarted\nerror=cmake: No such file or directory\n",
		 "could not measure the build: cmake: No such file or "
		 "directory"},
		{"labrun fails at a run", "env",
		 "ended=signal\nsignal=SIGKILL\nerror=init ended\n",
		 "could not measure how a run ended: labrun failed: init "
		 "ended"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		tree t;
		t.put("arglines-environ",
		      top / "labs" / "solutions" / "arglines-environ");
		fs::rename(t.tools / "labrun", t.tools / "labrun.real");
		t.replace("labrun",
			  std::string("#!/bin/bash\n"
				      "for ((i = 1; i < $#; i++)); do\n"
				      "\tj=$((i + 1))\n"
				      "\tcase ${!i} in\n"
				      "\t-r) report=${!j} ;;\n"
				      "\t--) cmd=${!j##*/}; break ;;\n"
				      "\tesac\n"
				      "done\n"
				      "[ \"$cmd\" = ") +
				  c.fails + " ] || exec \"$0.real\" \"$@\"\n" +
				  "printf 'pid=\\n" + c.report +
				  "' >\"$report\"\nexit 125\n");
		auto r = t.run({"check", "arglines-environ"});
		EXPECT_EQ(r.status, 2) << said(r);
		EXPECT_NE(r.out.find(c.says), std::string::npos) << said(r);
		EXPECT_EQ(r.err.find("lab: failed"), std::string::npos)
			<< said(r);
		EXPECT_EQ(t.left(), std::vector<std::string>{});
	}
}

// Every exercise has its task, hint, solution and wrong answers; the
// hint is in none of the learner's files; the starting code is the
// program's own but for the files it sets up, and the solution differs
// from it only in the files the learner edits.
TEST(lab, each_exercise_is_whole_and_starts_from_its_program)
{
	auto all = manifest();
	ASSERT_EQ(all.size(), 11u);
	std::vector<std::string> dirs;
	for (const auto &e : fs::directory_iterator(top / "labs"))
		if (e.is_directory() && e.path().filename() != "checks" &&
		    e.path().filename() != "solutions" &&
		    e.path().filename() != "hints" &&
		    e.path().filename() != "saved")
			dirs.push_back(e.path().filename());
	std::sort(dirs.begin(), dirs.end());
	auto listed = names();
	std::sort(listed.begin(), listed.end());
	EXPECT_EQ(dirs, listed) << "labs/ and labs/exercises disagree";

	for (const auto &e : all) {
		SCOPED_TRACE(e.name);
		const fs::path start = top / "labs" / e.name;
		const fs::path done = top / "labs" / "solutions" / e.name;
		EXPECT_EQ(slurp(start / "README.md")
				  .substr(0, e.title.size() + 2),
			  "# " + e.title);
		EXPECT_TRUE(
			fs::exists(top / "labs" / "hints" / (e.name + ".md")));
		EXPECT_TRUE(
			fs::exists(top / "labs" / "checks" / (e.name + ".sh")));
		EXPECT_TRUE(fs::exists(cases / e.name / "expected"));
		const std::string hint =
			slurp(top / "labs" / "hints" / (e.name + ".md"));
		const std::string line = hint.substr(hint.find("\n\n") + 2, 60);
		for (const auto &f : fs::recursive_directory_iterator(start))
			EXPECT_EQ(slurp(f.path()).find(line), std::string::npos)
				<< f.path() << " holds the hint";
		for (const auto &f : fs::directory_iterator(start)) {
			const std::string file = f.path().filename();
			auto in = [&](const std::vector<std::string> &v) {
				return std::find(v.begin(), v.end(), file) !=
				       v.end();
			};
			if (file == "README.md" || file == "CMakeLists.txt" ||
			    in(e.given))
				continue;
			fs::path own = top / e.program / file;
			if (!fs::exists(own))
				own = top / "copyloop" / file;
			EXPECT_EQ(slurp(f.path()), slurp(own))
				<< file << " is not " << e.program
				<< "'s own, and the exercise does not say "
				   "it sets it up";
		}
		for (const auto &f : fs::directory_iterator(done)) {
			const std::string file = f.path().filename();
			if (std::find(e.edits.begin(), e.edits.end(), file) !=
			    e.edits.end())
				continue;
			EXPECT_EQ(slurp(f.path()), slurp(start / file))
				<< "the solution changes " << file
				<< ", which the learner does not edit";
		}
	}
}

TEST(lab, lists_every_exercise_by_the_state_of_its_code)
{
	tree t;
	auto r = t.run({});
	ASSERT_EQ(r.status, 0) << said(r);
	for (const auto &name : names())
		EXPECT_NE(r.out.find("  -                    " + name + " "),
			  std::string::npos)
			<< name << "\n"
			<< r.out;
	EXPECT_NE(r.out.find("0 of 11 solved."), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("The first unsolved one, arglines-environ:"),
		  std::string::npos);

	t.put("arglines-environ",
	      top / "labs" / "solutions" / "arglines-environ");
	ASSERT_TRUE(solved(t.run({"check", "arglines-environ"})));
	r = t.run({});
	EXPECT_NE(r.out.find("  solved               arglines-environ "),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("1 of 11 solved."), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("The first unsolved one, sumprint-extern:"),
		  std::string::npos)
		<< r.out;

	// Put back as it started, the code is no longer what was solved.
	t.put("arglines-environ", {});
	r = t.run({});
	EXPECT_NE(r.out.find("  changed since solved arglines-environ "),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("The first unsolved one, arglines-environ:"),
		  std::string::npos);

	r = t.run({"hint", "arglines-environ"});
	EXPECT_EQ(r.out, slurp(top / "labs/hints/arglines-environ.md") + "\n");
	// A name mistyped or left out, each said as it is.
	const struct {
		std::vector<std::string> args;
		std::string said;
	} misnamed[] = {
		{{"nosuch"}, "lab: no such exercise: nosuch (one of: "},
		{{"check", "nosuch"},
		 "lab: no such exercise: nosuch (one of: "},
		{{"check"}, "lab: which exercise? (one of: "},
		{{"hint"}, "lab: which exercise? (one of: "},
	};
	for (const auto &m : misnamed) {
		r = t.run(m.args);
		EXPECT_EQ(r.status, 2) << m.said;
		EXPECT_EQ(r.err.rfind(m.said, 0), 0U) << r.err;
	}
}

// A solution copied in with its files' old times kept, as cp -a, rsync -a
// or tar x leave them, after the starting code was built: judged as it
// is, not as what was built before.
TEST(lab, judges_the_code_as_it_is_whatever_its_files_times)
{
	tree t;
	ASSERT_EQ(t.run({"check", "arglines-environ"}).status, 1);
	const auto file = t.exercise("arglines-environ") / "arglines.cpp";
	fs::copy(top / "labs/solutions/arglines-environ/arglines.cpp", file,
		 fs::copy_options::overwrite_existing);
	fs::last_write_time(file, fs::last_write_time(file) -
					  std::chrono::hours(24 * 365));
	auto r = t.run({"check", "arglines-environ"});
	EXPECT_TRUE(solved(r)) << said(r);
}

// Code that does not build, hangs, floods its output, writes without end,
// escapes its session or writes over the project's tools: each is said as
// it is, in bounded time, and nothing of it is left running, nor growing,
// nor changed.
TEST(lab, says_how_bad_code_ended_and_leaves_nothing_running)
{
	tree t;
	const std::string tool = slurp(t.tools / "iowatch");
	for (const auto &e : fs::directory_iterator(cases / "bad")) {
		SCOPED_TRACE(e.path().filename().string());
		t.put("arglines-environ", e.path());
		auto o = t.lab({"check", "arglines-environ"});
		// Standard input open and silent, as a terminal's is.
		o.hold = true;
		support::process p(o);
		p.close_input();
		auto r = p.wait();
		EXPECT_FALSE(r.timedout);
		EXPECT_EQ(r.status, 1) << said(r);
		EXPECT_NE(said(r).find(slurp(e.path() / "expected")),
			  std::string::npos)
			<< said(r);
		EXPECT_EQ(t.left(), std::vector<std::string>{});
		const fs::path run = fs::path(t.dir.path()) /
				     "build/lab/arglines-environ/run";
		std::uintmax_t size = 0;
		std::error_code ec;
		fs::create_directories(run);
		for (const auto &f : fs::directory_iterator(run)) {
			EXPECT_LE(fs::file_size(f.path(), ec), 8u << 20)
				<< f.path() << " grew past what a check keeps";
			size += fs::file_size(f.path(), ec);
		}
		std::this_thread::sleep_for(std::chrono::seconds(2));
		std::uintmax_t later = 0;
		for (const auto &f : fs::directory_iterator(run))
			later += fs::file_size(f.path(), ec);
		EXPECT_EQ(later, size) << "something still writes into run/";
		EXPECT_EQ(slurp(t.tools / "iowatch"), tool)
			<< "the project's iowatch was written over";
		EXPECT_NE(slurp(fs::path(t.dir.path()) /
				"build/lab/arglines-environ/verdict")
				  .rfind("unsolved ", 0),
			  std::string::npos);
	}
}

// A pids cgroup of the test's own, with room for 2000 processes, where
// the kernel has one to give; empty where not.
std::string
cgroup()
{
	const std::string name = "fdlab-test." + std::to_string(getpid());
	for (const std::string root :
	     {"/sys/fs/cgroup/pids/", "/sys/fs/cgroup/"}) {
		std::error_code ec;
		if (!fs::exists(root + "cgroup.procs") ||
		    !fs::create_directory(root + name, ec))
			continue;
		if (std::ofstream(root + name + "/pids.max") << "2000")
			return root + name;
		fs::remove(root + name, ec);
	}
	return {};
}

// A fork bomb, bounded by the test itself so that a runner that failed
// could not take the machine: as root, by a pids cgroup; as another user,
// by a hard limit on processes. The check still ends, with its verdict,
// and leaves nothing.
TEST(lab, ends_a_fork_bomb_and_says_so)
{
	tree t;
	t.put("arglines-environ", cases / "bad" / "hangs");
	std::ofstream(t.exercise("arglines-environ") / "arglines.cpp")
		<< "#include <unistd.h>\n\nint\nmain()\n{\n\tfor (;;)\n"
		   "\t\tfork();\n}\n";
	auto o = t.lab({"check", "arglines-environ"});
	std::string group;
	if (geteuid() == 0) {
		group = cgroup();
		if (group.empty())
			GTEST_SKIP() << "no pids cgroup to bound a fork bomb "
					"run as root";
		o.argv.insert(o.argv.begin(),
			      {"sh", "-c",
			       "echo $$ > '" + group +
				       "/cgroup.procs' && exec \"$@\"",
			       "sh"});
		o.argv[4] = "/bin/bash";
		o.prog = "/bin/sh";
	} else {
		// The user's processes now, and 2000 more, soft and hard; by
		// bash, as Debian 12's dash has no ulimit -u.
		o.argv.insert(o.argv.begin(),
			      {"bash", "-c",
			       "ulimit -u $(($(ps -u $(id -u) -L h | wc -l) + "
			       "2000)) && exec \"$@\"",
			       "bash"});
		o.argv[4] = "/bin/bash";
		o.prog = "/bin/bash";
	}
	auto start = std::chrono::steady_clock::now();
	auto r = support::run(o);
	auto s = std::chrono::duration_cast<std::chrono::seconds>(
		std::chrono::steady_clock::now() - start);
	if (!group.empty())
		fs::remove(group);
	EXPECT_EQ(r.status, 1) << said(r);
	EXPECT_NE(r.out.find("did not finish in 5 s and left "),
		  std::string::npos)
		<< said(r);
	EXPECT_EQ(t.left(), std::vector<std::string>{});
	EXPECT_LT(s.count(), 120);
	RecordProperty("seconds", static_cast<int>(s.count()));
}

// A project in a path with a space, and two checks of one exercise at
// once: the second waits for the first, says so, and both judge alike.
TEST(lab, works_in_a_path_with_a_space_and_one_check_at_a_time)
{
	tree t;
	const fs::path odd = fs::path(t.dir.path()) / "with space 'n quote";
	fs::create_directories(odd);
	for (const auto &e : fs::directory_iterator(t.dir.path()))
		if (e.path() != odd)
			fs::rename(e.path(), odd / e.path().filename());
	for (const char *name : {"relaxcopy-relax", "firstwin-clock"}) {
		SCOPED_TRACE(name);
		fs::remove_all(odd / "labs" / name);
		fs::copy(top / "labs" / name, odd / "labs" / name,
			 fs::copy_options::recursive);
		fs::copy(top / "labs" / "solutions" / name, odd / "labs" / name,
			 fs::copy_options::overwrite_existing |
				 fs::copy_options::recursive);
		auto o = t.lab({"check", name});
		o.argv[1] = odd / "lab";
		o.argv[3] = odd / "tools";
		support::process first(o);
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
		support::process second(o);
		auto a = first.wait(), b = second.wait();
		EXPECT_TRUE(solved(a)) << said(a);
		EXPECT_TRUE(solved(b)) << said(b);
		EXPECT_NE((a.out + b.out)
				  .find("Another check of " +
					std::string(name) +
					" is running: waiting for it"),
			  std::string::npos);
	}
	EXPECT_EQ(t.left(), std::vector<std::string>{});
}

// reset puts the starting code back from git, and keeps the learner's
// version first, where it says; on a terminal it asks before.
TEST(lab, reset_keeps_the_learners_version_and_asks_on_a_terminal)
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

	// On a terminal: asked, and no is no.
	std::ofstream(file) << "mine, an hour's work\n";
	auto o = t.lab({"reset", "arglines-environ"});
	o.tty = o.ttyin = true;
	o.hold = true;
	{
		support::process p(o);
		std::this_thread::sleep_for(std::chrono::milliseconds(500));
		p.send("n\n");
		r = p.wait();
	}
	EXPECT_EQ(r.status, 1) << r.out;
	EXPECT_NE(r.out.find("Put the starting code of arglines-environ "
			     "back? Your version is kept in labs/saved/."),
		  std::string::npos)
		<< r.out;
	EXPECT_EQ(slurp(file), "mine, an hour's work");
	{
		support::process p(o);
		std::this_thread::sleep_for(std::chrono::milliseconds(500));
		p.send("y\n");
		r = p.wait();
	}
	EXPECT_EQ(r.status, 0) << r.out;
	EXPECT_EQ(slurp(file), start);

	// Not on a terminal: done at once, and said where the copy went.
	std::ofstream(file) << "mine again\n";
	std::ofstream(t.exercise("arglines-environ") / "notes.txt") << "mine\n";
	r = t.run({"reset", "arglines-environ"});
	EXPECT_EQ(r.status, 0) << said(r);
	const std::string kept = "Yours is kept in ";
	const auto at = r.out.find(kept);
	ASSERT_NE(at, std::string::npos) << r.out;
	const auto end = r.out.find("/;", at);
	ASSERT_NE(end, std::string::npos) << r.out;
	const fs::path copy =
		fs::path(t.dir.path()) /
		r.out.substr(at + kept.size(), end - at - kept.size());
	EXPECT_EQ(slurp(copy / "arglines.cpp"), "mine again") << r.out;
	EXPECT_EQ(slurp(copy / "notes.txt"), "mine") << r.out;
	EXPECT_EQ(slurp(file), start);
	EXPECT_FALSE(fs::exists(t.exercise("arglines-environ") / "notes.txt"));

	// Every exercise at once; one already as it started is left so.
	std::ofstream(t.exercise("sumprint-extern") / "fun.cpp") << "mine\n";
	r = t.run({"reset", "--all"});
	EXPECT_EQ(r.status, 0) << said(r);
	EXPECT_NE(r.out.find("labs/sumprint-extern/ holds its starting code "
			     "again. Yours is kept in labs/saved/"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("labs/arglines-environ/ holds its starting code "
			     "already."),
		  std::string::npos)
		<< r.out;
}

// For a class: every exercise checked, one line each, a JUnit report an
// XML parser reads, TAP that prove reads; status 0 only when all are
// solved.
TEST(lab, checks_every_exercise_for_a_class)
{
	tree t;
	auto r = t.run({"check", "--all", "--junit", t.dir / "r.xml"});
	EXPECT_EQ(r.status, 1) << said(r);
	EXPECT_NE(r.out.find("0 of 11 solved."), std::string::npos) << r.out;

	QFile f(QString::fromStdString(t.dir / "r.xml"));
	ASSERT_TRUE(f.open(QIODevice::ReadOnly));
	QXmlStreamReader xml(&f);
	std::vector<std::string> cases;
	int failures = 0;
	while (!xml.atEnd()) {
		xml.readNext();
		if (!xml.isStartElement())
			continue;
		if (xml.name() == QLatin1String("testcase"))
			cases.push_back(xml.attributes()
						.value("name")
						.toString()
						.toStdString());
		if (xml.name() == QLatin1String("failure"))
			failures++;
	}
	EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
	EXPECT_EQ(cases, names());
	EXPECT_EQ(failures, 11);

	r = t.run({"check", "--all", "--tap"});
	EXPECT_EQ(r.status, 1);
	t.dir.put("r.tap", r.out);
	// Test::Harness before 3.48 (Debian 12's) knows TAP up to 13, which
	// the stream stays within but for its version line.
	support::options prove(
		"/bin/sh",
		{"sh", "-c",
		 "perl -MTest::Harness -e 'exit($Test::Harness::VERSION "
		 ">= 3.48 ? 0 : 1)' || sed -i '1s/14/13/' r.tap; "
		 "prove -e cat r.tap"});
	prove.cwd = t.dir.path();
	auto p = support::run(prove);
	EXPECT_NE(p.out.find("Tests: 11 Failed: 11"), std::string::npos)
		<< p.out << p.err;
	EXPECT_EQ(p.out.find("Parse errors"), std::string::npos) << p.out;

	for (const auto &name : names())
		t.put(name, top / "labs" / "solutions" / name);
	r = t.run({"check", "--all", "--junit", t.dir / "r.xml"});
	EXPECT_EQ(r.status, 0) << said(r);
	EXPECT_NE(r.out.find("11 of 11 solved."), std::string::npos) << r.out;
	EXPECT_EQ(t.dir.get("r.xml").find("<failure"), std::string::npos);
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
