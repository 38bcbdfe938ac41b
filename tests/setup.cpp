// setup on a machine made of this one's real tools, some left out, with
// the package tools absent (another distribution) or replaced by
// stand-ins that only record their calls (Debian): a test must never
// install anything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "run.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

// Never linked in from the real system, whatever the case.
const std::set<std::string> packagers = {"apt-get", "apt",        "aptitude",
					 "dpkg",    "dpkg-query", "sudo",
					 "dnf",     "yum",        "pacman"};

// Runs what follows as nobody, for the cases of a user who is not root.
const std::vector<std::string> unprivileged = {
	"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

std::vector<std::string>
lines(const std::string &s)
{
	std::vector<std::string> v;
	std::istringstream in(s);
	for (std::string l; std::getline(in, l);)
		v.push_back(l);
	return v;
}

bool
has(const std::string &out, const std::string &line)
{
	for (const auto &l : lines(out))
		if (l == line)
			return true;
	return false;
}

// Whether a line of out starts and ends so.
bool
said(const std::string &out, const std::string &start, const std::string &end)
{
	for (const auto &l : lines(out))
		if (l.rfind(start, 0) == 0 && l.size() >= end.size() &&
		    l.compare(l.size() - end.size(), end.size(), end) == 0)
			return true;
	return false;
}

int
count(const std::string &out, const std::string &start)
{
	int n = 0;
	for (const auto &l : lines(out))
		n += l.rfind(start, 0) == 0;
	return n;
}

// A PATH of links to every real command but those gone and the package
// tools, a copy of setup beside an empty project for it to build, and
// stand-ins that append their command lines to calls.
struct machine {
	support::scratch dir;

	machine(const std::set<std::string> &gone, bool debian, bool sudo)
	{
		fs::create_directory(dir / "bin");
		fs::create_directory(dir / "project");
		for (const char *d : {"/usr/local/bin", "/usr/bin", "/bin",
				      "/usr/sbin", "/sbin"}) {
			std::error_code ec;
			for (const auto &e : fs::directory_iterator(d, ec)) {
				std::string name = e.path().filename();
				fs::path to = fs::path(dir / "bin") / name;
				if (gone.count(name) || packagers.count(name) ||
				    fs::is_symlink(to))
					continue;
				fs::create_symlink(e.path(), to);
			}
		}
		std::vector<std::pair<std::string, std::string>> fakes = {
			{"dnf", "exit 1"}, {"pacman", "exit 1"}};
		if (debian) {
			fakes.emplace_back("apt-get", "exit 0");
			fakes.emplace_back("dpkg", "exit 1");
			fakes.emplace_back("dpkg-query", "exit 1");
		}
		if (sudo)
			fakes.emplace_back("sudo", "exec \"$@\"");
		for (const auto &[name, then] : fakes) {
			std::string script = "#!/bin/sh\necho \"" + name;
			script += " $*\" >> " + (dir / "calls");
			script += "\n" + then + "\n";
			dir.put("bin/" + name, script, 0755);
		}
		dir.put("calls", "", 0666);
		fs::copy_file(SETUP, dir / "project/setup");
		// The programs (the target sums depends on) and the tests,
		// each leaving a file when built.
		dir.put("project/CMakeLists.txt",
			"cmake_minimum_required(VERSION 3.16)\n"
			"project(empty NONE)\n"
			"add_custom_target(sums COMMAND ${CMAKE_COMMAND} -E "
			"touch programs)\n"
			"add_custom_target(tests ALL COMMAND ${CMAKE_COMMAND} "
			"-E "
			"touch tests)\n");
		// Readable by the unprivileged user some cases run as.
		chmod(dir.path().c_str(), 0755);
	}

	support::result setup(const std::vector<std::string> &args,
			      bool user = false) const
	{
		std::string prog = "/bin/bash";
		std::vector<std::string> argv{prog, dir / "project/setup"};
		argv.insert(argv.end(), args.begin(), args.end());
		if (user && geteuid() == 0) {
			prog = "/usr/bin/setpriv";
			argv.insert(argv.begin(), unprivileged.begin(),
				    unprivileged.end());
		}
		support::options o(prog, argv);
		o.env = {"PATH=" + (dir / "bin"), "HOME=" + dir.path()};
		o.timeout = 120;
		return support::run(o);
	}

	std::vector<std::string> calls() const
	{
		return lines(dir.get("calls"));
	}
	bool built() const
	{
		return fs::exists(dir / "project/build/CMakeCache.txt");
	}
};

using calls = std::vector<std::string>;

} // namespace

TEST(setup, with_everything_present_installs_nothing_and_builds)
{
	struct {
		const char *what;
		bool debian;
		std::vector<std::string> args;
		bool built;
	} cases[] = {
		{"another distribution", false, {}, true},
		{"another distribution, --check", false, {"--check"}, false},
		{"Debian", true, {}, true},
		{"Debian, --check", true, {"--check"}, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		machine m({}, c.debian, true);
		auto r = m.setup(c.args);
		EXPECT_EQ(r.status, 0) << r.out << r.err;
		EXPECT_EQ(count(r.err, "setup: missing "), 0) << r.err;
		EXPECT_EQ(m.calls(), calls{});
		EXPECT_EQ(m.built(), c.built);
		EXPECT_EQ(
			has(r.out, "==> configuring and building into build/"),
			c.built);
		EXPECT_EQ(has(r.out, "==> nothing is missing"), !c.built);
	}
}

TEST(setup, names_what_is_missing_and_each_distributions_package)
{
	struct item {
		std::string shown, deb, fed, arch;
	};
	struct {
		const char *what;
		std::set<std::string> gone;
		std::vector<item> missing;
		std::string deb, fed, arch; // what each is told to install
	} cases[] = {
		{"xdotool",
		 {"xdotool"},
		 {{"xdotool", "xdotool", "xdotool", "xdotool"}},
		 "xdotool",
		 "xdotool",
		 "xdotool"},
		{"strace",
		 {"strace"},
		 {{"strace", "strace", "strace", "strace"}},
		 "strace",
		 "strace",
		 "strace"},
		{"Xvfb",
		 {"Xvfb"},
		 {{"Xvfb", "xvfb", "xorg-x11-server-Xvfb", "xorg-server-xvfb"}},
		 "xvfb",
		 "xorg-x11-server-Xvfb",
		 "xorg-server-xvfb"},
		{"g++",
		 {"g++"},
		 {{"g++", "g++", "gcc-c++", "gcc"}},
		 "g++",
		 "gcc-c++",
		 "gcc"},
		{"both clang tools, one package on Fedora and on Arch",
		 {"clang-format", "clang-tidy"},
		 {{"clang-format", "clang-format", "clang-tools-extra",
		   "clang"},
		  {"clang-tidy", "clang-tidy", "clang-tools-extra", "clang"}},
		 "clang-format clang-tidy",
		 "clang-tools-extra",
		 "clang"},
		{"binutils' nm and readelf",
		 {"nm", "readelf"},
		 {{"nm", "binutils", "binutils", "binutils"},
		  {"readelf", "binutils", "binutils", "binutils"}},
		 "binutils",
		 "binutils",
		 "binutils"},
		{"ImageMagick's import and identify, perl, mandoc",
		 {"import", "identify", "perl", "mandoc"},
		 {{"import", "imagemagick", "ImageMagick", "imagemagick"},
		  {"identify", "imagemagick", "ImageMagick", "imagemagick"},
		  {"perl", "perl", "perl", "perl"},
		  {"mandoc", "mandoc", "mandoc", "mandoc"}},
		 "imagemagick perl mandoc",
		 "ImageMagick perl mandoc",
		 "imagemagick perl mandoc"},
		// Without CMake the libraries cannot be looked for as the
		// build finds them.
		{"cmake, and so the libraries",
		 {"cmake"},
		 {{"cmake", "cmake", "cmake", "cmake"},
		  {"GTest (for CMake)", "libgtest-dev", "gtest-devel", "gtest"},
		  {"Qt5Widgets (for CMake)", "qtbase5-dev", "qt5-qtbase-devel",
		   "qt5-base"},
		  {"Qt5Test (for CMake)", "qtbase5-dev", "qt5-qtbase-devel",
		   "qt5-base"},
		  {"X11 (for CMake)", "libx11-dev", "libX11-devel", "libx11"}},
		 "cmake libgtest-dev qtbase5-dev libx11-dev",
		 "cmake gtest-devel qt5-qtbase-devel libX11-devel",
		 "cmake gtest qt5-base libx11"},
	};
	// On Debian too, --check only says what is missing.
	struct {
		const char *what;
		bool debian;
		std::vector<std::string> args;
	} ways[] = {
		{"another distribution", false, {}},
		{"Debian, --check", true, {"--check"}},
	};
	for (const auto &c : cases)
		for (const auto &w : ways) {
			SCOPED_TRACE(std::string(c.what) + ", " + w.what);
			machine m(c.gone, w.debian, true);
			auto r = m.setup(w.args);
			EXPECT_EQ(r.status, 1) << r.out << r.err;
			for (const auto &i : c.missing)
				EXPECT_TRUE(said(r.err,
						 "setup: missing " + i.shown +
							 ", for ",
						 "; packages: Debian " + i.deb +
							 ", Fedora " + i.fed +
							 ", Arch " + i.arch))
					<< i.shown << ":\n"
					<< r.err;
			EXPECT_EQ(count(r.err, "setup: missing "),
				  static_cast<int>(c.missing.size()))
				<< r.err;
			EXPECT_TRUE(has(r.err,
					"  Debian or Ubuntu: apt-get install " +
						c.deb))
				<< r.err;
			EXPECT_TRUE(
				has(r.err, "  Fedora: dnf install " + c.fed))
				<< r.err;
			EXPECT_TRUE(has(r.err, "  Arch: pacman -S " + c.arch))
				<< r.err;
			EXPECT_EQ(m.calls(), calls{});
			EXPECT_FALSE(m.built());
		}
}

TEST(setup, on_debian_as_root_installs_only_the_missing_packages)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "not root: setup would go through sudo";
	struct {
		std::set<std::string> gone;
		std::string debs;
	} cases[] = {
		{{"xdotool"}, "xdotool"},
		{{"Xvfb", "strace"}, "xvfb strace"},
		{{"clang-format", "clang-tidy"}, "clang-format clang-tidy"},
		{{"nm", "readelf"}, "binutils"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.debs);
		machine m(c.gone, true, true);
		auto r = m.setup({});
		// The stand-in installs nothing, and setup looks again.
		EXPECT_EQ(r.status, 1) << r.out << r.err;
		EXPECT_EQ(m.calls(), (calls{"apt-get update -q",
					    "apt-get install -y -q "
					    "--no-install-recommends " +
						    c.debs}));
		EXPECT_TRUE(has(r.out, "==> installing the Debian packages "
				       "for what is missing: " +
					       c.debs))
			<< r.out;
		EXPECT_TRUE(
			has(r.err,
			    "setup: still missing after installing " + c.debs))
			<< r.err;
		EXPECT_FALSE(m.built());
	}
}

TEST(setup, on_debian_as_a_user_installs_through_sudo_or_names_the_packages)
{
	if (geteuid() == 0) {
		std::vector<std::string> argv = unprivileged;
		argv.emplace_back("/bin/true");
		if (support::run({"/usr/bin/setpriv", argv}).status != 0)
			GTEST_SKIP() << "cannot become an unprivileged user";
	}
	const std::string install =
		"apt-get install -y -q --no-install-recommends xdotool";
	const std::string sudo = "sudo env DEBIAN_FRONTEND=noninteractive ";
	struct {
		const char *what;
		bool sudo;
		calls want;
		std::string said;
	} cases[] = {
		{"with sudo",
		 true,
		 {sudo + "apt-get update -q", "apt-get update -q",
		  sudo + install, install},
		 "setup: still missing after installing xdotool"},
		{"without sudo",
		 false,
		 {},
		 "setup: these Debian packages are missing; install them as "
		 "root: xdotool"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		machine m({"xdotool"}, true, c.sudo);
		auto r = m.setup({}, true);
		EXPECT_EQ(r.status, 1) << r.out << r.err;
		EXPECT_EQ(m.calls(), c.want);
		EXPECT_TRUE(has(r.err, c.said)) << r.err;
		EXPECT_EQ(has(r.out,
			      "==> not root: installing them with sudo "
			      "apt-get (sudo may ask for your password)"),
			  c.sudo)
			<< r.out;
		EXPECT_FALSE(m.built());
	}
}

// --programs, as the tour and the labs run it, builds the programs and
// their helpers, not the tests, and does not look for what the tests alone
// use.
TEST(setup, for_the_programs_alone_builds_and_needs_no_test_tools)
{
	machine m({"chromium"}, true, true);
	auto r = m.setup({"--programs"});
	EXPECT_EQ(r.status, 0) << r.out << r.err;
	EXPECT_EQ(count(r.err, "setup: missing "), 0) << r.err;
	EXPECT_EQ(m.calls(), calls{});
	EXPECT_TRUE(fs::exists(m.dir / "project/build/programs"));
	EXPECT_FALSE(fs::exists(m.dir / "project/build/tests"));

	r = m.setup({});
	EXPECT_NE(r.err.find("setup: missing chromium, for opening the tour's "
			     "page in a real browser, in the tests only"),
		  std::string::npos)
		<< r.err;
	EXPECT_NE(m.calls(), calls{}) << "chromium not installed";
}

TEST(setup, takes_check_and_help_and_refuses_other_options)
{
	machine m({}, true, true);
	auto r = m.setup({"--help"});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("--check     only say what is missing"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("--programs  build the programs and their "
			     "helpers only"),
		  std::string::npos)
		<< r.out;
	r = m.setup({"--nosuch"});
	EXPECT_EQ(r.status, 2);
	EXPECT_NE(r.err.find("setup: unknown option --nosuch"),
		  std::string::npos)
		<< r.err;
	EXPECT_EQ(m.calls(), calls{});
	EXPECT_FALSE(m.built());
}
