// iowatch: the device it finds under a file, checked against what the
// kernel says, and the writes it counts there; on the build directory's
// file system, and, as root, on file systems made on loop devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run.h"
#include "scratch.h"

namespace fs = std::filesystem;
using support::bin;
using support::tool;

namespace {

support::result
run(const std::vector<std::string> &argv)
{
	const bool path = argv[0].find('/') != std::string::npos;
	support::options o(path ? argv[0] : tool(argv[0]), argv);
	o.timeout = 120;
	return support::run(o);
}

// What iowatch measured, as it writes its figures with -o for a program to
// read back, the tour and the labs among them.
struct said {
	std::string command, program; // what was run, what it became
	long calls = -1;
	std::string type, devices; // where it counted, devices joined by '+'
	long writes = -1;
	std::string why; // why it could not count, where it could not
};

said
parse(const std::string &data)
{
	said s;
	std::istringstream in(data);
	for (std::string l; std::getline(in, l);) {
		const auto eq = l.find('=');
		const std::string k = l.substr(0, eq), v = l.substr(eq + 1);
		if (k == "command")
			s.command = v;
		else if (k == "program")
			s.program = v;
		else if (k == "calls")
			s.calls = std::stol(v);
		else if (k == "fs")
			s.type = v;
		else if (k == "device")
			s.devices = v;
		else if (k == "writes")
			s.writes = std::stol(v);
		else if (k == "why")
			s.why = v;
	}
	return s;
}

// iowatch run as the options say, its figures asked for with -o into a
// file of the test's; what it said, and its figures.
struct watched {
	support::result r;
	said s;
};

watched
figures(support::options o)
{
	support::scratch data;
	o.argv.insert(o.argv.begin() + 1, {"-o", data / "figures"});
	watched w{support::run(o), {}};
	if (fs::exists(data / "figures"))
		w.s = parse(data.get("figures"));
	return w;
}

std::vector<std::string>
split(const std::string &s)
{
	std::vector<std::string> v;
	std::istringstream in(s);
	for (std::string w; std::getline(in, w, '+');)
		v.push_back(w);
	std::sort(v.begin(), v.end());
	return v;
}

// The kernel's own name for the block device at path, which sysfs
// links from its number; empty for anything else.
std::string
kname(const std::string &path)
{
	struct stat s;
	if (stat(path.c_str(), &s) < 0 || !S_ISBLK(s.st_mode))
		return "";
	std::string no = std::to_string(major(s.st_rdev)) + ":" +
			 std::to_string(minor(s.st_rdev));
	std::error_code ec;
	std::string name =
		fs::read_symlink("/sys/dev/block/" + no, ec).filename();
	if (!ec)
		return name;
	// No /sys here (a chroot, say): the kernel's list of block devices.
	std::ifstream f("/proc/partitions");
	for (std::string line; std::getline(f, line);) {
		unsigned maj = 0, min = 0;
		std::string blocks;
		// The heading's words read as no number, and are passed over.
		if (std::istringstream(line) >> maj >> min >> blocks >> name &&
		    maj == major(s.st_rdev) && min == minor(s.st_rdev))
			return name;
	}
	return "";
}

bool
listed(const std::string &name)
{
	std::ifstream f("/proc/diskstats");
	std::string maj, min, n, rest;
	while (f >> maj >> min >> n && std::getline(f, rest))
		if (n == name)
			return true;
	return false;
}

// File systems made for one test on loop devices and mounted under its
// scratch directory, all taken down again however the test ends.
class rig
{
public:
	explicit rig(const support::scratch &dir) : dir_(dir) {}
	~rig();
	rig(const rig &) = delete;
	rig &operator=(const rig &) = delete;

	std::string attach(const std::string &image);
	std::string map(const std::string &dev);
	int mount(const std::string &source, const std::string &at,
		  const std::string &type, const std::string &data = "");
	std::string error;

private:
	const support::scratch &dir_;
	std::vector<std::string> loops_, maps_, mounts_;
};

rig::~rig()
{
	for (auto m = mounts_.rbegin(); m != mounts_.rend(); ++m)
		if (umount2(m->c_str(), 0) < 0)
			umount2(m->c_str(), MNT_DETACH);
	for (const std::string &m : maps_)
		run({"dmsetup", "remove", m});
	// The kernel remembers each btrfs device it has seen, to assemble
	// file systems of several; these are about to go.
	if (!tool("btrfs").empty())
		for (const std::string &l : loops_)
			run({"btrfs", "device", "scan", "--forget", l});
	for (const std::string &l : loops_)
		run({"losetup", "-d", l});
}

// A loop device over a new sparse image of 512 MiB, enough for any of
// the file systems; empty, with the reason in error, where none is free.
std::string
rig::attach(const std::string &image)
{
	std::ofstream(dir_ / image).close();
	if (truncate((dir_ / image).c_str(), 512 << 20) < 0)
		throw std::runtime_error("truncate: " +
					 std::string(std::strerror(errno)));
	auto r = run({"losetup", "-f", "--show", dir_ / image});
	if (r.status != 0) {
		error = r.err;
		return "";
	}
	loops_.push_back(r.out.substr(0, r.out.find('\n')));
	return loops_.back();
}

// A device-mapper device passing straight through to dev, as LVM maps a
// logical volume.
std::string
rig::map(const std::string &dev)
{
	std::string name = "fdlab-" + std::to_string(getpid()) + "-" +
			   std::to_string(maps_.size());
	std::string table =
		"0 " + std::to_string(512 << 11) + " linear " + dev + " 0";
	auto r = run({"dmsetup", "create", name, "--table", table});
	if (r.status != 0) {
		error = r.err;
		return "";
	}
	maps_.push_back(name);
	return "/dev/mapper/" + name;
}

// 0 or the error of mount(2), so that a test can tell a kernel without
// the file system from a failure.
int
rig::mount(const std::string &source, const std::string &at,
	   const std::string &type, const std::string &data)
{
	fs::create_directories(at);
	if (::mount(source.c_str(), at.c_str(), type.c_str(), 0,
		    data.empty() ? nullptr : data.c_str()) < 0)
		return errno;
	mounts_.push_back(at);
	return 0;
}

void
mkfs(const std::string &type, const std::vector<std::string> &devs)
{
	// Else ext4 writes its inode tables out in the background, into
	// the counts.
	const std::string eager = "lazy_itable_init=0,lazy_journal_init=0";
	std::vector<std::string> argv{"mkfs." + type, "-q"};
	if (type == "ext4")
		argv.insert(argv.end(), {"-F", "-E", eager});
	else if (type == "btrfs")
		argv.insert(argv.end(), {"-f", "-d", "single"});
	else
		argv.insert(argv.end(), {"-f"});
	argv.insert(argv.end(), devs.begin(), devs.end());
	auto r = run(argv);
	if (r.status != 0)
		throw std::runtime_error(argv[0] + " failed: " + r.err);
}

// iowatch over FILE, running a copy program in dir with in as input.
watched
watch(const std::string &dir, const std::string &file, const std::string &prog,
      int in)
{
	support::options o(bin("iowatch"), {"iowatch", file, bin(prog)});
	o.cwd = dir;
	o.in = in;
	o.timeout = 120;
	return figures(o);
}

// How a file system is laid out under the file iowatch watches.
struct layout {
	const char *name;
	const char *type;   // made with mkfs.TYPE
	int devices;        // loop devices it spans
	const char *subvol; // the btrfs subvolume the file is in, or ""
	bool alone;         // that subvolume mounted by itself
	const char *under;  // a file system mounted first at the same point
	bool mapped;        // on a device-mapper device over the loop
};

const layout layouts[] = {
	{"ext4", "ext4", 1, "", false, "", false},
	{"xfs", "xfs", 1, "", false, "", false},
	{"btrfs", "btrfs", 1, "", false, "", false},
	{"btrfs_subvolume", "btrfs", 1, "sub", false, "", false},
	{"btrfs_subvolume_mounted_alone", "btrfs", 1, "sub", true, "", false},
	{"btrfs_on_two_devices", "btrfs", 2, "", false, "", false},
	{"btrfs_mounted_over_ext4", "btrfs", 1, "", false, "ext4", false},
	{"btrfs_on_a_mapped_device", "btrfs", 1, "", false, "", true},
	{"ext4_on_a_mapped_device", "ext4", 1, "", false, "", true},
};

class device : public testing::TestWithParam<layout>
{
};

// For the names CTest gives the cases, rather than the structs' bytes.
void
PrintTo(const layout &l, std::ostream *out)
{
	*out << l.name;
}

std::string
named(const testing::TestParamInfo<layout> &i)
{
	return i.param.name;
}

// File systems with no block device under them, mounted from a source
// named by the test.
struct backless {
	const char *type;
	const char *why; // what iowatch says, after "out is on TYPE"
};

const char memory[] = ", in memory: there is no device to wait for";
const char notblock[] = " from fdlab-overlay, which is not a block device "
			"here: its writes cannot be counted";

const backless backlesses[] = {
	{"tmpfs", memory},
	{"ramfs", memory},
	{"overlay", notblock},
};

class nodevice : public testing::TestWithParam<backless>
{
};

void
PrintTo(const backless &b, std::ostream *out)
{
	*out << b.type;
}

std::string
typed(const testing::TestParamInfo<backless> &i)
{
	return i.param.type;
}

} // namespace

TEST(iowatch, finds_the_device_under_the_build_directory_as_findmnt_does)
{
	if (tool("findmnt").empty())
		GTEST_SKIP() << "no findmnt(8) to compare with";
	const std::string file = bin("iowatch");
	auto k = run({"findmnt", "--nofsroot", "-n", "-r", "-o",
		      "SOURCE,FSTYPE", "--target", file});
	if (k.status != 0)
		GTEST_SKIP() << "findmnt finds no mount over " << file
			     << " (the mount table of a chroot leaves out the "
				"mount its root lies on)";
	std::string source, type;
	std::istringstream(k.out) >> source >> type;

	support::options o(bin("iowatch"), {"iowatch", file, "true"});
	auto [r, s] = figures(o);
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(s.program, "true") << r.err;
	EXPECT_EQ(s.calls, 0) << r.err;
	// The sentences for people say what the figures do.
	EXPECT_NE(r.err.find("iowatch: true made 0 write calls in "),
		  std::string::npos)
		<< r.err;
	EXPECT_NE(r.err.find("iowatch: " +
			     (s.why.empty() ? file + " is on " + s.type +
						      " on " + s.devices +
						      ", which completed " +
						      std::to_string(s.writes) +
						      " writes meanwhile"
					    : s.why)),
		  std::string::npos)
		<< r.err;
	const std::string name = kname(source);
	if (type == "tmpfs" || type == "ramfs") {
		EXPECT_EQ(s.why, file + " is on " + type +
					 ", in memory: there is no device to "
					 "wait for");
	} else if (name.empty()) {
		EXPECT_EQ(s.why, file + " is on " + type + " from " + source +
					 ", which is not a block device here: "
					 "its writes cannot be counted");
	} else if (!listed(name)) {
		EXPECT_NE(s.why.find(", which /proc/diskstats does not list"),
			  std::string::npos)
			<< r.err;
	} else {
		EXPECT_EQ(s.type, type) << r.err;
		auto devs = split(s.devices);
		EXPECT_NE(std::find(devs.begin(), devs.end(), name), devs.end())
			<< r.err;
		if (type != "btrfs") {
			EXPECT_EQ(devs.size(), 1u) << r.err;
		}
		EXPECT_GE(s.writes, 0) << r.err;
	}
}

TEST(iowatch, names_the_program_the_command_became)
{
	support::scratch dir;
	const std::string relax = bin("relaxcopy");
	// The kernel keeps 15 bytes of a program's name.
	const std::string longname = dir / "a-rather-long-name";
	fs::create_symlink(relax, longname);
	struct {
		std::vector<std::string> command;
		std::string program, sentence;
	} cases[] = {
		{{relax}, "relaxcopy", relax},
		{{"env", relax}, "relaxcopy", "relaxcopy (started as env)"},
		{{"sh", "-c", "exec \"$0\"", relax},
		 "relaxcopy",
		 "relaxcopy (started as sh)"},
		{{"perl", "-e", "exec @ARGV", relax},
		 "relaxcopy",
		 "relaxcopy (started as perl)"},
		{{longname}, "a-rather-long-n", longname},
		{{"env", longname},
		 "a-rather-long-n",
		 "a-rather-long-n (started as env)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.sentence);
		std::vector<std::string> argv{"iowatch", dir.path()};
		argv.insert(argv.end(), c.command.begin(), c.command.end());
		support::options o(bin("iowatch"), argv);
		o.input = "copied\n";
		auto [r, s] = figures(o);
		ASSERT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, "copied\n");
		EXPECT_EQ(s.command, c.command[0]);
		EXPECT_EQ(s.program, c.program);
		EXPECT_EQ(r.err.rfind("iowatch: " + c.sentence + " made ", 0),
			  0u)
			<< r.err;
		EXPECT_EQ(s.calls, 1) << "relaxcopy's one write, no other's";
	}
}

TEST(iowatch, ends_as_the_command_ended)
{
	const std::string nosuch = bin("nosuch");
	struct {
		std::vector<std::string> command;
		int status;
		std::string err; // all that iowatch says, where it says no more
	} cases[] = {
		{{"sh", "-c", "exit 3"}, 3, ""},
		{{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, ""},
		{{nosuch}, 127, nosuch + ": No such file or directory\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.command.back());
		std::vector<std::string> argv{"iowatch", "."};
		argv.insert(argv.end(), c.command.begin(), c.command.end());
		auto [r, s] = figures(support::options(bin("iowatch"), argv));
		EXPECT_EQ(r.status, c.status) << r.err;
		if (!c.err.empty()) {
			EXPECT_EQ(r.err, c.err);
			EXPECT_EQ(s.command, "") << "figures of a program that "
						    "never ran";
		} else {
			EXPECT_EQ(s.command, "sh") << r.err;
		}
	}
}

TEST_P(device, counts_the_writes_of_the_devices_under_the_file)
{
	const layout &l = GetParam();
	if (geteuid() != 0)
		GTEST_SKIP() << "only root makes loop devices and mounts";
	const std::string type = l.type;
	std::vector<std::string> tools{"losetup", "mkfs." + type};
	if (*l.subvol)
		tools.emplace_back("btrfs");
	if (*l.under)
		tools.emplace_back(std::string("mkfs.") + l.under);
	if (l.mapped)
		tools.emplace_back("dmsetup");
	for (const std::string &t : tools)
		if (tool(t).empty())
			GTEST_SKIP() << "no " << t;
	if (l.mapped && access("/dev/mapper/control", F_OK) < 0)
		GTEST_SKIP() << "this kernel has no device-mapper";

	support::scratch dir;
	rig r(dir);
	// In mountinfo this is a\040mount\134point.
	const std::string at = dir / "a mount\\point";
	if (*l.under) {
		std::string dev = r.attach("under.img");
		if (dev.empty())
			GTEST_SKIP() << "no loop device: " << r.error;
		mkfs(l.under, {dev});
		ASSERT_EQ(r.mount(dev, at, l.under), 0);
	}
	std::vector<std::string> devs, names;
	for (int i = 0; i < l.devices; i++) {
		std::string dev = r.attach(std::to_string(i) + ".img");
		if (dev.empty())
			GTEST_SKIP() << "no loop device: " << r.error;
		if (l.mapped)
			dev = r.map(dev);
		if (dev.empty())
			GTEST_SKIP() << "no device-mapper device: " << r.error;
		devs.push_back(dev);
		names.push_back(kname(dev));
	}
	std::sort(names.begin(), names.end());
	mkfs(l.type, devs);
	std::string data;
	for (std::size_t i = 1; i < devs.size(); i++)
		data += (data.empty() ? "device=" : ",device=") + devs[i];
	int e = r.mount(devs[0], at, l.type, data);
	if (e == ENODEV)
		GTEST_SKIP() << "this kernel has no " << l.type;
	ASSERT_EQ(e, 0) << std::strerror(e);

	std::string work = at;
	if (*l.subvol) {
		work = at + "/" + l.subvol;
		auto b = run({"btrfs", "subvolume", "create", work});
		ASSERT_EQ(b.status, 0) << b.err;
	}
	if (l.alone) {
		work = dir / "alone";
		e = r.mount(devs[0], work, l.type,
			    std::string("subvol=") + l.subvol);
		ASSERT_EQ(e, 0) << std::strerror(e);
	}
	std::ofstream(work + "/out").close();
	dir.put("in", std::string(512UL * 512, 'x'));
	int in = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
	ASSERT_GE(in, 0);

	// The same 512 writes of 512 bytes, waiting for the device and not.
	for (const char *prog : {"fcntlcopy", "oflagcopy"}) {
		SCOPED_TRACE(prog);
		lseek(in, 0, SEEK_SET);
		auto [w, s] = watch(work, "out", prog, in);
		ASSERT_EQ(w.status, 0) << w.err;
		ASSERT_GE(s.writes, 0) << w.err;
		EXPECT_EQ(s.calls, 512) << w.err;
		EXPECT_EQ(s.type, l.type) << w.err;
		EXPECT_EQ(split(s.devices), names) << w.err;
		if (std::string(prog) == "oflagcopy")
			EXPECT_GE(s.writes, s.calls) << w.err;
		else
			EXPECT_LT(s.writes, s.calls / 4) << w.err;
	}
	close(in);
}

INSTANTIATE_TEST_SUITE_P(iowatch, device, testing::ValuesIn(layouts), named);

TEST_P(nodevice, says_why_it_counts_no_device_writes)
{
	const backless &n = GetParam();
	if (geteuid() != 0)
		GTEST_SKIP() << "only root mounts";
	support::scratch dir;
	rig r(dir);
	const std::string type = n.type, at = dir / "at";
	std::string data;
	if (type == "overlay") {
		for (const char *d : {"lower", "upper", "work"})
			fs::create_directory(dir / d);
		data = "lowerdir=" + dir / "lower";
		data += ",upperdir=" + dir / "upper";
		data += ",workdir=" + dir / "work";
	}
	int e = r.mount("fdlab-" + type, at, type, data);
	if (e == ENODEV)
		GTEST_SKIP() << "this kernel has no " << type;
	ASSERT_EQ(e, 0) << std::strerror(e);
	std::ofstream(at + "/out").close();

	auto in = [](const std::string &cwd) {
		support::options o(bin("iowatch"), {"iowatch", "out", "true"});
		o.cwd = cwd;
		return figures(o);
	};
	auto [w, s] = in(at);
	ASSERT_EQ(w.status, 0) << w.err;
	EXPECT_EQ(s.program, "true") << w.err;
	EXPECT_EQ(s.why, "out is on " + type + n.why) << w.err;
	EXPECT_EQ(s.writes, -1) << w.err;

	// A directory whose name merely begins with the mount point's lies
	// where the scratch directory does.
	const std::string beside = at + "-beside";
	fs::create_directory(beside);
	std::ofstream(beside + "/out").close();
	std::ofstream(dir / "out").close();
	said b = in(beside).s, d = in(dir.path()).s;
	EXPECT_FALSE(d.type.empty() && d.why.empty());
	EXPECT_EQ(b.type, d.type);
	EXPECT_EQ(b.devices, d.devices);
	EXPECT_EQ(b.why, d.why);
}

INSTANTIATE_TEST_SUITE_P(iowatch, nodevice, testing::ValuesIn(backlesses),
			 typed);
