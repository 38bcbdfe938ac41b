// fdmap: which descriptors it draws on one open file description, checked
// against kcmp itself, on processes the test makes: children that hold
// descriptors the test opened, dup'ed or forked, until the test ends them.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/kcmp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "run.h"
#include "scratch.h"

extern char **environ;

using support::bin;
using support::tool;

namespace {

const std::string letters = "abcdefghijklmnopqrstuvwxyz";

long
kcmp(pid_t p, int a, pid_t q, int b)
{
	return syscall(SYS_kcmp, p, q, KCMP_FILE, a, b);
}

// Descriptors of the test's own, closed when the test ends.
struct held {
	std::vector<int> fds;
	held() = default;
	held(const held &) = delete;
	held &operator=(const held &) = delete;
	~held()
	{
		for (int fd : fds)
			close(fd);
	}
	int add(int fd)
	{
		if (fd < 0)
			throw std::runtime_error(std::string("open: ") +
						 std::strerror(errno));
		fds.push_back(fd);
		return fd;
	}
	int open(const std::string &path, int flags)
	{
		return add(::open(path.c_str(), flags, 0600));
	}
};

// A child of the test's, holding the descriptors of the test's in keep,
// standard input, output and error on /dev/null, and what prep opens,
// until the test ends it. Nothing else: what the test inherited (a log
// file of ctest's, say) moves on while the test looks.
class kid
{
public:
	explicit kid(std::vector<int> keep = {},
		     const std::function<bool()> &prep = nullptr)
	{
		int ready[2];
		if (pipe2(ready, O_CLOEXEC) < 0)
			throw std::runtime_error("pipe");
		keep.push_back(ready[1]);
		std::sort(keep.begin(), keep.end());
		pid_ = fork();
		if (pid_ < 0)
			throw std::runtime_error("fork");
		if (pid_ == 0) {
			int null = open("/dev/null", O_RDWR);
			for (int fd = 0; fd < 3; fd++)
				dup2(null, fd);
			unsigned from = 3;
			for (int fd : keep) {
				if (static_cast<unsigned>(fd) > from)
					close_range(from, fd - 1, 0);
				from = std::max(from, fd + 1u);
			}
			close_range(from, ~0U, 0);
			char ok = !prep || prep() ? 'y' : 'n';
			if (write(ready[1], &ok, 1) < 0) {
			}
			close(ready[1]);
			for (;;)
				pause();
		}
		close(ready[1]);
		char ok = 'n';
		if (read(ready[0], &ok, 1) < 0) {
		}
		close(ready[0]);
		ok_ = ok == 'y';
	}
	~kid()
	{
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	kid(const kid &) = delete;
	kid &operator=(const kid &) = delete;

	pid_t pid() const { return pid_; }
	bool ok() const { return ok_; }

private:
	pid_t pid_ = -1;
	bool ok_ = false;
};

support::result
fdmap(const std::vector<std::string> &args,
      const std::vector<support::fault> &faults = {})
{
	support::options o(bin("fdmap"), {"fdmap"});
	o.argv.insert(o.argv.end(), args.begin(), args.end());
	o.faults = faults;
	return support::run(o);
}

// One line of --tsv.
struct row {
	pid_t pid = 0;
	int fd = 0;
	int desc = 0;
	long long pos = 0;
	std::string flags, names;
	int cloexec = -1, known = -1;
	std::string dev;
	unsigned long long ino = 0;
	std::string path;
};

const char *const header =
	"pid\tfd\tdesc\tpos\tflags\tnames\tcloexec\tknown\tdev\tino\tpath";

std::vector<row>
rows(const std::string &out)
{
	std::vector<row> v;
	std::istringstream in(out);
	std::string line;
	std::getline(in, line);
	EXPECT_EQ(line, header);
	while (std::getline(in, line)) {
		std::vector<std::string> f;
		std::istringstream fields(line);
		for (std::string x; std::getline(fields, x, '\t');)
			f.push_back(x);
		if (f.size() != 11) {
			ADD_FAILURE() << "not 11 fields: " << line;
			continue;
		}
		row r;
		r.pid = std::stoi(f[0]);
		r.fd = std::stoi(f[1]);
		r.desc = std::stoi(f[2]);
		r.pos = std::stoll(f[3]);
		r.flags = f[4];
		r.names = f[5];
		r.cloexec = std::stoi(f[6]);
		r.known = std::stoi(f[7]);
		r.dev = f[8];
		r.ino = std::stoull(f[9]);
		r.path = f[10];
		v.push_back(r);
	}
	return v;
}

const row &
find(const std::vector<row> &v, pid_t pid, int fd)
{
	for (const row &r : v)
		if (r.pid == pid && r.fd == fd)
			return r;
	throw std::runtime_error("no row for " + std::to_string(pid) + " fd " +
				 std::to_string(fd));
}

// fdmap's descriptions are kcmp's: two rows have one number exactly when
// kcmp says their descriptors share a description. Numbers count up from
// 1 as they first appear, and rows go by the pids given, then by fd.
void
grouped_as_kcmp(const std::vector<row> &v, const std::vector<pid_t> &pids)
{
	int next = 1;
	for (std::size_t i = 0; i < v.size(); i++) {
		if (v[i].desc == next)
			next++;
		else
			EXPECT_LT(v[i].desc, next) << "row " << i;
		if (i == 0)
			continue;
		auto at = [&](pid_t p) {
			return std::find(pids.begin(), pids.end(), p);
		};
		EXPECT_TRUE(at(v[i - 1].pid) < at(v[i].pid) ||
			    (v[i - 1].pid == v[i].pid && v[i - 1].fd < v[i].fd))
			<< "row " << i << " out of order";
	}
	std::size_t wrong = 0;
	std::string first;
	for (std::size_t i = 0; i < v.size(); i++)
		for (std::size_t j = i + 1; j < v.size(); j++) {
			long k = kcmp(v[i].pid, v[i].fd, v[j].pid, v[j].fd);
			if (k >= 0 && (v[i].desc == v[j].desc) == (k == 0))
				continue;
			if (wrong++ == 0)
				first = std::to_string(v[i].pid) + " fd " +
					std::to_string(v[i].fd) + " and " +
					std::to_string(v[j].pid) + " fd " +
					std::to_string(v[j].fd) + ": kcmp " +
					std::to_string(k) + ", descriptions " +
					std::to_string(v[i].desc) + " and " +
					std::to_string(v[j].desc);
		}
	EXPECT_EQ(wrong, 0u) << first;
}

// Enough of JSON to read fdmap's back: any document, or an exception.
// A lone \udcXX stands for the byte XX, as Python's surrogateescape has it.
struct json {
	enum kind : unsigned char {
		null,
		boolean,
		number,
		string,
		array,
		object
	};
	kind k = null;
	bool b = false;
	std::string s; // a string, or a number's text
	std::vector<json> a;
	std::vector<std::pair<std::string, json>> o;

	bool has(const std::string &key) const
	{
		for (const auto &m : o)
			if (m.first == key)
				return true;
		return false;
	}
	const json &operator[](const std::string &key) const
	{
		for (const auto &m : o)
			if (m.first == key)
				return m.second;
		throw std::runtime_error("no member " + key);
	}
	long long num() const
	{
		if (k != number)
			throw std::runtime_error("not a number: " + s);
		return std::stoll(s);
	}
	bool flag() const
	{
		if (k != boolean)
			throw std::runtime_error("not true or false");
		return b;
	}
	const std::string &text() const
	{
		if (k != string)
			throw std::runtime_error("not a string");
		return s;
	}
};

class parser
{
public:
	explicit parser(const std::string &t) : t_(t) {}

	json document()
	{
		json v = value();
		space();
		if (i_ != t_.size())
			fail("text after the document");
		return v;
	}

private:
	const std::string &t_;
	std::size_t i_ = 0;

	static bool in(const char *set, char c)
	{
		return c != '\0' && std::strchr(set, c) != nullptr;
	}
	[[noreturn]] void fail(const std::string &why)
	{
		throw std::runtime_error(why + " at byte " +
					 std::to_string(i_));
	}
	void space()
	{
		while (i_ < t_.size() && in(" \t\n\r", t_[i_]))
			i_++;
	}
	bool eat(char c)
	{
		space();
		if (i_ < t_.size() && t_[i_] == c) {
			i_++;
			return true;
		}
		return false;
	}
	void expect(char c)
	{
		if (!eat(c))
			fail(std::string("expected ") + c);
	}
	bool word(const char *w)
	{
		if (t_.compare(i_, std::strlen(w), w) != 0)
			return false;
		i_ += std::strlen(w);
		return true;
	}
	unsigned hex4()
	{
		if (i_ + 4 > t_.size())
			fail("short \\u");
		std::string h = t_.substr(i_, 4);
		if (h.find_first_not_of("0123456789abcdefABCDEF") !=
		    std::string::npos)
			fail("bad \\u");
		i_ += 4;
		return std::stoul(h, nullptr, 16);
	}
	static void utf8(std::string &r, unsigned c)
	{
		if (c < 0x80) {
			r += static_cast<char>(c);
		} else if (c < 0x800) {
			r += static_cast<char>(0xc0 | c >> 6);
			r += static_cast<char>(0x80 | (c & 0x3f));
		} else if (c < 0x10000) {
			r += static_cast<char>(0xe0 | c >> 12);
			r += static_cast<char>(0x80 | (c >> 6 & 0x3f));
			r += static_cast<char>(0x80 | (c & 0x3f));
		} else {
			r += static_cast<char>(0xf0 | c >> 18);
			r += static_cast<char>(0x80 | (c >> 12 & 0x3f));
			r += static_cast<char>(0x80 | (c >> 6 & 0x3f));
			r += static_cast<char>(0x80 | (c & 0x3f));
		}
	}
	std::string str()
	{
		expect('"');
		std::string r;
		for (;;) {
			if (i_ >= t_.size())
				fail("unterminated string");
			auto c = static_cast<unsigned char>(t_[i_++]);
			if (c == '"')
				return r;
			if (c < 0x20)
				fail("raw control character in a string");
			if (c != '\\') {
				r += static_cast<char>(c);
				continue;
			}
			if (i_ >= t_.size())
				fail("unterminated escape");
			char e = t_[i_++];
			const char *from = "\"\\/bfnrt",
				   *to = "\"\\/\b\f\n\r\t";
			if (e != 'u' && in(from, e)) {
				r += to[std::strchr(from, e) - from];
				continue;
			}
			if (e != 'u')
				fail("bad escape");
			unsigned u = hex4();
			if (u >= 0xd800 && u < 0xdc00) {
				if (!word("\\u"))
					fail("lone high surrogate");
				unsigned lo = hex4();
				utf8(r, 0x10000 + ((u - 0xd800) << 10) +
						(lo - 0xdc00));
			} else if (u >= 0xdc80 && u <= 0xdcff) {
				r += static_cast<char>(u - 0xdc00);
			} else {
				utf8(r, u);
			}
		}
	}
	json value()
	{
		space();
		json v;
		if (i_ >= t_.size())
			fail("no value");
		char c = t_[i_];
		if (c == '"') {
			v.k = json::string;
			v.s = str();
		} else if (eat('[')) {
			v.k = json::array;
			if (!eat(']')) {
				do
					v.a.push_back(value());
				while (eat(','));
				expect(']');
			}
		} else if (eat('{')) {
			v.k = json::object;
			if (!eat('}')) {
				do {
					space();
					std::string key = str();
					expect(':');
					v.o.emplace_back(key, value());
				} while (eat(','));
				expect('}');
			}
		} else if (word("true")) {
			v.k = json::boolean;
			v.b = true;
		} else if (word("false")) {
			v.k = json::boolean;
		} else if (word("null")) {
			v.k = json::null;
		} else {
			std::size_t start = i_;
			if (t_[i_] == '-')
				i_++;
			while (i_ < t_.size() && in("0123456789.eE+-", t_[i_]))
				i_++;
			if (i_ == start ||
			    !std::isdigit(
				    static_cast<unsigned char>(t_[i_ - 1])))
				fail("bad value");
			v.k = json::number;
			v.s = t_.substr(start, i_ - start);
		}
		return v;
	}
};

// The JSON's descriptions, by the pid and fd of each holder.
std::map<std::pair<pid_t, int>, long long>
holders(const json &doc)
{
	std::map<std::pair<pid_t, int>, long long> ids;
	for (const json &d : doc["descriptions"].a)
		for (const json &h : d["held"].a)
			ids[{static_cast<pid_t>(h["pid"].num()),
			     static_cast<int>(h["fd"].num())}] = d["id"].num();
	return ids;
}

// The JSON says what the TSV says: the same descriptions, with the same
// offsets, flags, files and holders.
void
json_agrees(const std::string &text, const std::vector<row> &v)
{
	json doc = parser(text).document();
	auto ids = holders(doc);
	EXPECT_EQ(ids.size(), v.size());
	for (const row &r : v) {
		SCOPED_TRACE(std::to_string(r.pid) + " fd " +
			     std::to_string(r.fd));
		std::pair<pid_t, int> key{r.pid, r.fd};
		ASSERT_EQ(ids.count(key), 1u);
		EXPECT_EQ(ids[key], r.desc);
		const json &d = doc["descriptions"].a.at(r.desc - 1);
		EXPECT_EQ(d["id"].num(), r.desc);
		EXPECT_EQ(d["pos"].num(), r.pos);
		std::string names;
		for (const json &n : d["flags"].a)
			names += (names.empty() ? "" : "|") + n.text();
		EXPECT_EQ(names, r.names);
		EXPECT_EQ(d["dev"].text(), r.dev);
		EXPECT_EQ(static_cast<unsigned long long>(d["ino"].num()),
			  r.ino);
		EXPECT_EQ(d["known"].flag(), r.known == 1);
		for (const json &h : d["held"].a)
			if (h["pid"].num() == r.pid && h["fd"].num() == r.fd) {
				EXPECT_EQ(h["cloexec"].flag(), r.cloexec == 1);
			}
	}
}

// The lines of the words under the figure joined back into sentences.
std::string
unfolded(const std::string &out)
{
	std::string r;
	std::istringstream in(out);
	for (std::string line; std::getline(in, line);)
		r += line.rfind("  ", 0) == 0 ? line.substr(1) : "\n" + line;
	return r + "\n";
}

std::size_t
columns(const std::string &line)
{
	std::size_t n = 0;
	for (char c : line)
		n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
	return n;
}

bool
ends(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() &&
	       s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool
ascii(const std::string &s)
{
	for (char c : s)
		if (static_cast<unsigned char>(c) >= 0x80)
			return false;
	return true;
}

// A parent (the test) and its child after a fork, both holding wo.txt
// on one descriptor, read one byte into; then a second open of it in the
// parent, moved to 5.
struct forked {
	support::scratch dir;
	held mine;
	int shared, second;
	std::unique_ptr<kid> child;

	forked()
	{
		dir.put("wo.txt", letters);
		shared = mine.open(dir / "wo.txt", O_RDONLY);
		char c;
		if (read(shared, &c, 1) != 1)
			throw std::runtime_error("read");
		child = std::make_unique<kid>(mine.fds);
		second = mine.open(dir / "wo.txt", O_RDONLY);
		lseek(second, 5, SEEK_SET);
	}
	std::vector<std::string> args(const std::string &mode) const
	{
		std::vector<std::string> a{"--only", dir / "wo.txt",
					   std::to_string(getpid()),
					   std::to_string(child->pid())};
		if (!mode.empty())
			a.insert(a.begin(), mode);
		return a;
	}
};

} // namespace

TEST(fdmap, after_a_fork_parent_and_child_hold_one_description)
{
	forked f;
	pid_t me = getpid(), child = f.child->pid();
	auto r = fdmap(f.args("--tsv"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	auto v = rows(r.out);
	ASSERT_EQ(v.size(), 3u) << r.out;
	grouped_as_kcmp(v, {me, child});

	const row &mine = find(v, me, f.shared),
		  &theirs = find(v, child, f.shared);
	const row &second = find(v, me, f.second);
	EXPECT_EQ(mine.desc, theirs.desc);
	EXPECT_NE(mine.desc, second.desc);
	EXPECT_EQ(mine.pos, 1);
	EXPECT_EQ(theirs.pos, 1);
	EXPECT_EQ(second.pos, 5);
	for (const row &x : v) {
		EXPECT_EQ(x.known, 1);
		EXPECT_EQ(x.cloexec, 0);
		EXPECT_EQ(x.path, f.dir / "wo.txt");
		EXPECT_EQ(x.names, "O_RDONLY|O_LARGEFILE");
		EXPECT_EQ(x.flags, "0100000");
	}
	struct stat st;
	ASSERT_EQ(stat((f.dir / "wo.txt").c_str(), &st), 0);
	EXPECT_EQ(mine.ino, st.st_ino);
	EXPECT_EQ(mine.dev, std::to_string(major(st.st_dev)) + ":" +
				    std::to_string(minor(st.st_dev)));

	auto j = fdmap(f.args("--json"));
	EXPECT_EQ(j.status, 0);
	json_agrees(j.out, v);
	json doc = parser(j.out).document();
	EXPECT_FALSE(doc.has("unknown"));
	ASSERT_EQ(doc["processes"].a.size(), 2u);
	EXPECT_EQ(doc["processes"].a[0]["pid"].num(), me);
	EXPECT_EQ(doc["processes"].a[1]["pid"].num(), child);
	EXPECT_EQ(doc["processes"].a[1]["fds"].a.size(), 1u);
	EXPECT_EQ(doc["descriptions"].a.size(), 2u);

	auto fig = fdmap(f.args(""));
	EXPECT_EQ(fig.status, 0);
	std::string words = unfolded(fig.out);
	std::string a = std::to_string(f.shared);
	EXPECT_NE(words.find("#" + std::to_string(mine.desc) +
			     " is one description, held by " +
			     std::to_string(me) + " fd " + a + " and " +
			     std::to_string(child) + " fd " + a + ".\n"),
		  std::string::npos)
		<< fig.out;
	EXPECT_NE(words.find("#1 and #2 are 2 descriptions of one file, " +
			     f.dir / "wo.txt" + ".\n"),
		  std::string::npos)
		<< fig.out;
}

// As a graph for dot: an arrow from each descriptor to its description,
// the shared one reached from both processes, and dot takes it.
TEST(fdmap, as_a_graph_each_descriptor_points_to_its_description)
{
	forked f;
	pid_t me = getpid(), child = f.child->pid();
	auto v = rows(fdmap(f.args("--tsv")).out);
	auto g = fdmap(f.args("--dot"));
	ASSERT_EQ(g.status, 0) << g.err;
	EXPECT_EQ(g.out.rfind("digraph fdmap {", 0), 0u) << g.out;
	for (const row &x : v) {
		const std::string node = "p" + std::to_string(x.pid) + "_" +
					 std::to_string(x.fd);
		EXPECT_NE(g.out.find("  " + node + " -> d" +
				     std::to_string(x.desc) + ";\n"),
			  std::string::npos)
			<< node << "\n"
			<< g.out;
	}
	const row &shared = find(v, me, f.shared);
	EXPECT_EQ(find(v, child, f.shared).desc, shared.desc);
	EXPECT_NE(g.out.find("pos " + std::to_string(shared.pos)),
		  std::string::npos);
	if (tool("dot").empty())
		GTEST_SKIP() << "no Graphviz dot to lay the graph out";
	support::options o(tool("dot"), {"dot", "-Tsvg"});
	o.input = g.out;
	auto svg = support::run(o);
	EXPECT_EQ(svg.status, 0) << svg.err;
	EXPECT_NE(svg.out.find("<svg"), std::string::npos);
}

TEST(fdmap, every_descriptor_of_two_processes_grouped_as_kcmp_groups_them)
{
	// Two children of the test: what they inherit they share; what each
	// opens or dups after the fork is its own.
	auto prep = [] {
		int p[2];
		if (pipe(p) < 0 || dup2(p[0], 40) < 0 || dup2(p[1], 41) < 0)
			return false;
		int n = open("/dev/null", O_RDWR);
		return n >= 0 && dup2(n, 42) >= 0 &&
		       fcntl(n, F_DUPFD_CLOEXEC, 43) >= 0 &&
		       open("/dev/null", O_RDONLY) >= 0;
	};
	support::scratch dir;
	dir.put("f", letters);
	held mine;
	mine.open(dir / "f", O_RDWR);
	mine.add(dup(mine.fds[0]));
	kid one(mine.fds, prep), two(mine.fds, prep);
	ASSERT_TRUE(one.ok() && two.ok());
	auto r = fdmap({"--tsv", std::to_string(one.pid()),
			std::to_string(two.pid())});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	auto v = rows(r.out);
	ASSERT_EQ(v.size(), 26u) << r.out;
	grouped_as_kcmp(v, {one.pid(), two.pid()});
	// The control: the pairs kcmp says share and those it says do not are
	// both there to be told apart.
	EXPECT_EQ(find(v, one.pid(), mine.fds[0]).desc,
		  find(v, two.pid(), mine.fds[1]).desc);
	EXPECT_NE(find(v, one.pid(), 40).desc, find(v, two.pid(), 40).desc);
	EXPECT_EQ(find(v, one.pid(), 42).desc, find(v, one.pid(), 43).desc);
	EXPECT_EQ(find(v, one.pid(), 43).cloexec, 1);
	EXPECT_EQ(find(v, one.pid(), 42).cloexec, 0);
	json_agrees(fdmap({"--json", std::to_string(one.pid()),
			   std::to_string(two.pid())})
			    .out,
		    v);
}

TEST(fdmap, dup_shares_a_description_a_second_open_does_not)
{
	support::scratch dir;
	dir.put("f", letters);
	held mine;
	int a = mine.open(dir / "f", O_RDONLY);
	int b = mine.add(dup(a));
	int c = mine.open(dir / "f", O_RDONLY);
	// Close-on-exec on one copy only: a flag of the descriptor.
	ASSERT_EQ(fcntl(b, F_SETFD, FD_CLOEXEC), 0);
	lseek(a, 3, SEEK_SET);
	lseek(c, 7, SEEK_SET);
	kid k(mine.fds);
	auto r = fdmap({"--tsv", "--only", dir / "f", std::to_string(k.pid())});
	EXPECT_EQ(r.status, 0);
	auto v = rows(r.out);
	ASSERT_EQ(v.size(), 3u) << r.out;
	grouped_as_kcmp(v, {k.pid()});
	const row &x = find(v, k.pid(), a), &y = find(v, k.pid(), b);
	const row &z = find(v, k.pid(), c);
	EXPECT_EQ(x.desc, y.desc);
	EXPECT_NE(x.desc, z.desc);
	EXPECT_EQ(x.pos, 3);
	EXPECT_EQ(y.pos, 3);
	EXPECT_EQ(z.pos, 7);
	EXPECT_EQ(x.cloexec, 0);
	EXPECT_EQ(y.cloexec, 1);
	EXPECT_EQ(z.cloexec, 0);
	// fdinfo has O_CLOEXEC on b; the description's flags do not.
	EXPECT_EQ(support::fdflags(k.pid(), b) & O_CLOEXEC, O_CLOEXEC);
	EXPECT_EQ(x.flags, y.flags);
	EXPECT_EQ(y.names, "O_RDONLY|O_LARGEFILE");

	auto j =
		fdmap({"--json", "--only", dir / "f", std::to_string(k.pid())});
	json_agrees(j.out, v);
	json doc = parser(j.out).document();
	const json &d = doc["descriptions"].a.at(x.desc - 1);
	ASSERT_EQ(d["held"].a.size(), 2u);
	EXPECT_FALSE(d["held"].a[0]["cloexec"].flag());
	EXPECT_TRUE(d["held"].a[1]["cloexec"].flag());

	auto fig = fdmap({"--only", dir / "f", std::to_string(k.pid())});
	std::string ab = std::to_string(a) + ", " + std::to_string(b);
	EXPECT_NE(unfolded(fig.out).find(" is one description, held by " +
					 std::to_string(k.pid()) + " fd " + ab +
					 ".\n"),
		  std::string::npos)
		<< fig.out;
	EXPECT_NE(fig.out.find("fd " + std::to_string(b) + " cloexec "),
		  std::string::npos)
		<< fig.out;
}

TEST(fdmap, status_flags_by_name)
{
	struct {
		int flags;
		const char *names;
	} cases[] = {
		{O_RDONLY, "O_RDONLY|O_LARGEFILE"},
		{O_WRONLY, "O_WRONLY|O_LARGEFILE"},
		{O_RDWR, "O_RDWR|O_LARGEFILE"},
		{O_WRONLY | O_APPEND, "O_WRONLY|O_APPEND|O_LARGEFILE"},
		{O_RDWR | O_SYNC, "O_RDWR|O_SYNC|O_LARGEFILE"},
		{O_WRONLY | O_DSYNC, "O_WRONLY|O_DSYNC|O_LARGEFILE"},
		{O_RDWR | O_APPEND | O_SYNC,
		 "O_RDWR|O_APPEND|O_SYNC|O_LARGEFILE"},
		{O_RDONLY | O_NONBLOCK, "O_RDONLY|O_NONBLOCK|O_LARGEFILE"},
		{O_RDONLY | O_NOATIME, "O_RDONLY|O_LARGEFILE|O_NOATIME"},
		{O_RDONLY | O_CLOEXEC, "O_RDONLY|O_LARGEFILE"},
		{O_PATH, "O_RDONLY|O_PATH"},
	};
	support::scratch dir;
	dir.put("f", letters);
	held mine;
	for (const auto &c : cases)
		mine.open(dir / "f", c.flags);
	// Status flags changed later belong to the description too.
	int later = mine.open(dir / "f", O_WRONLY);
	ASSERT_EQ(fcntl(later, F_SETFL, O_APPEND | O_NONBLOCK), 0);
	int temp = ::open(dir.path().c_str(), O_RDWR | O_TMPFILE, 0600);
	if (temp >= 0)
		mine.add(temp);
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	mine.add(p[0]);
	mine.add(p[1]);
	kid k(mine.fds);
	auto r = fdmap({"--tsv", std::to_string(k.pid())});
	EXPECT_EQ(r.status, 0);
	auto v = rows(r.out);
	grouped_as_kcmp(v, {k.pid()});

	auto check = [&](int fd, const std::string &names, int cloexec) {
		SCOPED_TRACE(names);
		const row &x = find(v, k.pid(), fd);
		EXPECT_EQ(x.names, names);
		EXPECT_EQ(x.cloexec, cloexec);
		// The octal is fdinfo's, the descriptor's close-on-exec out.
		int want = support::fdflags(k.pid(), fd) & ~O_CLOEXEC;
		EXPECT_EQ(std::strtol(x.flags.c_str(), nullptr, 8), want);
		EXPECT_EQ(x.flags[0], '0');
	};
	for (std::size_t i = 0; i < std::size(cases); i++)
		check(mine.fds[i], cases[i].names,
		      (cases[i].flags & O_CLOEXEC) != 0);
	check(later, "O_WRONLY|O_APPEND|O_NONBLOCK|O_LARGEFILE", 0);
	if (temp >= 0)
		check(temp, "O_RDWR|O_LARGEFILE|O_TMPFILE", 0);
	check(p[0], "O_RDONLY", 0);
	check(p[1], "O_WRONLY", 0);
	EXPECT_EQ(find(v, k.pid(), p[0]).flags, "00");

	json_agrees(fdmap({"--json", std::to_string(k.pid())}).out, v);
}

TEST(fdmap, only_compares_the_file_not_how_it_is_spelled)
{
	support::scratch dir;
	dir.put("wo.txt", letters);
	dir.put("other", letters);
	std::filesystem::create_symlink("wo.txt", dir / "link");
	std::filesystem::create_hard_link(dir / "wo.txt", dir / "hard");
	std::filesystem::create_directory(dir / "sub");
	held mine;
	int a = mine.open(dir / "wo.txt", O_RDONLY);
	int b = mine.open(dir / "other", O_RDONLY);
	kid k(mine.fds);
	std::string pid = std::to_string(k.pid());
	for (const std::string &only :
	     {dir / "wo.txt", dir / "link", dir / "hard",
	      std::string("./wo.txt"), dir / "sub/../wo.txt",
	      std::string("link")}) {
		SCOPED_TRACE(only);
		support::options o(bin("fdmap"),
				   {"fdmap", "--tsv", "--only", only, pid});
		o.cwd = dir.path();
		auto r = support::run(o);
		EXPECT_EQ(r.status, 0);
		auto v = rows(r.out);
		ASSERT_EQ(v.size(), 1u) << r.out;
		EXPECT_EQ(v[0].fd, a);
		EXPECT_EQ(v[0].path, dir / "wo.txt");
	}
	auto v = rows(fdmap({"--tsv", "--only", dir / "other", pid}).out);
	ASSERT_EQ(v.size(), 1u);
	EXPECT_EQ(v[0].fd, b);

	// A file the process does not hold: nothing, and no error.
	dir.put("unheld", "");
	auto r = fdmap({"--tsv", "--only", dir / "unheld", pid});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, std::string(header) + "\n");
	r = fdmap({"--only", dir / "unheld", pid});
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.out.find("(none)"), std::string::npos) << r.out;

	r = fdmap({"--tsv", "--only", dir / "missing", pid});
	EXPECT_EQ(r.status, 2);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "fdmap: " + dir / "missing" +
				 ": No such file or directory\n");
}

TEST(fdmap, where_kcmp_is_refused_nothing_is_drawn_as_shared)
{
	support::scratch dir;
	dir.put("f", letters);
	held mine;
	int a = mine.open(dir / "f", O_RDONLY);
	int b = mine.add(dup(a));
	kid k(mine.fds);
	std::string pid = std::to_string(k.pid());
	ASSERT_EQ(kcmp(k.pid(), a, k.pid(), b), 0) << "the control: shared";
	struct {
		int err;
		std::string why;
	} cases[] = {
		{EPERM, "kcmp refused: EPERM"},
		{EACCES, "kcmp refused: EACCES"},
		{ENOSYS, "kcmp missing: ENOSYS"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.why);
		std::vector<support::fault> refuse{{SYS_kcmp, c.err}};
		auto r = fdmap({"--tsv", "--only", dir / "f", pid}, refuse);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "fdmap: " + c.why + " for " + pid +
					 ": their descriptors are not known "
					 "to be shared\n");
		auto v = rows(r.out);
		ASSERT_EQ(v.size(), 2u);
		EXPECT_NE(v[0].desc, v[1].desc);
		EXPECT_EQ(v[0].known, 0);
		EXPECT_EQ(v[1].known, 0);

		auto j = fdmap({"--json", "--only", dir / "f", pid}, refuse);
		json doc = parser(j.out).document();
		EXPECT_EQ(doc["unknown"].text(), c.why);
		ASSERT_EQ(doc["descriptions"].a.size(), 2u);
		for (const json &d : doc["descriptions"].a) {
			EXPECT_FALSE(d["known"].flag());
			EXPECT_EQ(d["held"].a.size(), 1u);
		}

		auto fig = fdmap({"--only", dir / "f", pid}, refuse);
		std::string words = unfolded(fig.out);
		EXPECT_NE(words.find("#1 and #2 are not known to be shared: " +
				     c.why + ".\n"),
			  std::string::npos)
			<< fig.out;
		EXPECT_NE(fig.out.find("(not known to be shared)"),
			  std::string::npos);
		EXPECT_EQ(words.find("is one description, held by"),
			  std::string::npos)
			<< fig.out;
	}
}

namespace {

// fdmap with other real and effective user ids than the test's, as root
// can run it; its output gathered in files of dir.
support::result
runas(const support::scratch &dir, uid_t ruid, uid_t euid,
      const std::vector<std::string> &args)
{
	held files;
	int out = files.open(dir / "out", O_RDWR | O_CREAT | O_TRUNC);
	int err = files.open(dir / "err", O_RDWR | O_CREAT | O_TRUNC);
	std::vector<std::string> argv{"fdmap"}, env;
	argv.insert(argv.end(), args.begin(), args.end());
	for (char **e = environ; *e; e++)
		env.emplace_back(*e);
	std::vector<char *> av = support::pointers(argv),
			    ev = support::pointers(env);
	std::string prog = bin("fdmap");
	pid_t pid = fork();
	if (pid == 0) {
		// The program is opened while still root, and run from that
		// descriptor: the build may lie where the other user cannot
		// reach (under /root, or a directory of mode 700).
		int null = open("/dev/null", O_RDONLY);
		int exe = open(prog.c_str(), O_RDONLY);
		if (dup2(null, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
		    exe < 0 || dup2(exe, 3) < 0 ||
		    fcntl(3, F_SETFD, FD_CLOEXEC) < 0)
			_exit(126);
		close_range(4, ~0U, 0);
		const gid_t nogroup = 65534;
		if (setgroups(0, nullptr) < 0 ||
		    setresgid(nogroup, nogroup, nogroup) < 0 ||
		    setresuid(ruid, euid, euid) < 0)
			_exit(126);
		fexecve(3, av.data(), ev.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	support::result r;
	r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	r.out = dir.get("out");
	r.err = dir.get("err");
	return r;
}

// As root: a process of nobody's holding a file on a and, dup'ed, on b,
// open to examination by its owner as an ordinary user's process is; and
// a process of root's.
struct others {
	support::scratch dir;
	held mine;
	int a, b;
	std::unique_ptr<kid> theirs, roots;

	others()
	{
		dir.put("f", letters);
		a = mine.open(dir / "f", O_RDONLY);
		b = mine.add(dup(a));
		theirs = std::make_unique<kid>(mine.fds, [] {
			return setgroups(0, nullptr) == 0 &&
			       setresgid(65534, 65534, 65534) == 0 &&
			       setresuid(65534, 65534, 65534) == 0 &&
			       prctl(PR_SET_DUMPABLE, 1) == 0;
		});
		roots = std::make_unique<kid>();
	}
};

const uid_t nobody = 65534;

} // namespace

TEST(fdmap, kcmp_refused_to_another_real_user_draws_nothing_as_shared)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "only root makes processes of other users";
	if (support::sanitized)
		GTEST_SKIP() << "LeakSanitizer cannot work in a process whose "
				"real and effective users differ";
	others o;
	ASSERT_TRUE(o.theirs->ok());
	pid_t them = o.theirs->pid();
	ASSERT_EQ(kcmp(them, o.a, them, o.b), 0) << "the control: shared";
	std::string pid = std::to_string(them);

	// Run as nobody by another real user: /proc, going by the effective
	// user, shows nobody's descriptors; kcmp, going by the real one,
	// refuses.
	const uid_t other = 65533;
	auto r = runas(o.dir, other, nobody, {"--tsv", pid});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "fdmap: kcmp refused: EPERM for " + pid +
				 ": their descriptors are not known to be "
				 "shared\n");
	auto v = rows(r.out);
	std::set<int> descs;
	for (const row &x : v) {
		EXPECT_EQ(x.known, 0);
		descs.insert(x.desc);
	}
	EXPECT_EQ(descs.size(), v.size()) << "a description drawn as shared";
	EXPECT_NE(find(v, them, o.a).desc, find(v, them, o.b).desc);
	r = runas(o.dir, other, nobody, {pid});
	EXPECT_EQ(unfolded(r.out).find("is one description, held by"),
		  std::string::npos)
		<< r.out;
	EXPECT_NE(r.out.find("(not known to be shared)"), std::string::npos);
}

TEST(fdmap, another_users_process_is_not_read_the_others_are)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "only root makes processes of other users";
	others o;
	ASSERT_TRUE(o.theirs->ok());
	pid_t them = o.theirs->pid();
	std::string root = std::to_string(o.roots->pid());

	// Run as nobody on root's process and nobody's own: root's cannot be
	// read at all; nobody's is shown, and shared, kcmp answering for its
	// owner.
	auto r = runas(o.dir, nobody, nobody,
		       {"--tsv", root, std::to_string(them)});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "fdmap: " + root + ": Permission denied\n");
	auto v = rows(r.out);
	ASSERT_FALSE(v.empty());
	for (const row &x : v) {
		EXPECT_EQ(x.pid, them);
		EXPECT_EQ(x.known, 1);
	}
	EXPECT_EQ(find(v, them, o.a).desc, find(v, them, o.b).desc);
}

TEST(fdmap, figure_in_ascii_or_box_drawing_by_the_locale)
{
	locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
	if (!utf8)
		GTEST_SKIP() << "no locale C.UTF-8 here";
	freelocale(utf8);
	forked f;
	std::string a = std::to_string(f.shared), b = std::to_string(f.second);
	std::string me = std::to_string(getpid());
	std::string child = std::to_string(f.child->pid());
	std::string shared = "#1 is one description, held by " + me + " fd " +
			     a + " and " + child + " fd " + a + ".\n";
	struct {
		std::string locale;
		std::string first, second, joins; // the rows of fd a and b
	} cases[] = {
		{"LC_ALL=C", "+-+-> #1 pos 1 O_RDONLY|O_LARGEFILE",
		 "+-|-> #2 pos 5 O_RDONLY|O_LARGEFILE", "+-+"},
		{"LC_ALL=C.UTF-8", "├─┬─→ #1 pos 1 O_RDONLY|O_LARGEFILE",
		 "├─│─→ #2 pos 5 O_RDONLY|O_LARGEFILE", "├─┘"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.locale);
		support::options o(bin("fdmap"), {"fdmap"});
		auto args = f.args("");
		o.argv.insert(o.argv.end(), args.begin(), args.end());
		o.env = {c.locale};
		auto r = support::run(o);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(ascii(r.out), c.locale == "LC_ALL=C") << r.out;
		// The rows: parent's fd a to #1, fd b to #2, child's fd a up
		// the lane to #1.
		std::istringstream in(r.out);
		std::vector<std::string> lines;
		for (std::string line; std::getline(in, line);)
			lines.push_back(line);
		// A descriptor's row: the first after its process's title.
		auto rowof = [&](const std::string &who,
				 const std::string &fd) {
			std::size_t i = 0;
			while (i < lines.size() &&
			       lines[i].find(" " + who + " ") ==
				       std::string::npos)
				i++;
			while (++i < lines.size())
				if (lines[i].find(" fd " + fd + " ") !=
				    std::string::npos)
					return lines[i];
			return std::string();
		};
		EXPECT_TRUE(ends(rowof(me, a), c.first)) << r.out;
		EXPECT_TRUE(ends(rowof(me, b), c.second)) << r.out;
		EXPECT_TRUE(ends(rowof(child, a), c.joins)) << r.out;
		EXPECT_NE(unfolded(r.out).find(shared), std::string::npos)
			<< r.out;
		for (const std::string &line : lines) {
			if (line.find(f.dir.path()) == std::string::npos) {
				EXPECT_LE(columns(line), 80u) << line;
			}
		}
	}
}

TEST(fdmap, paths_are_escaped_in_tsv_and_json_and_figure)
{
	support::scratch dir;
	std::string name = "we\tird\nna\\me\"q\xff.txt";
	dir.put(name, letters);
	held mine;
	int fd = mine.open(dir / name, O_RDONLY);
	kid k(mine.fds);
	std::string pid = std::to_string(k.pid());
	std::string path = dir / name;
	std::string tsvpath = dir.path() + "/we\\tird\\nna\\\\me\"q\xff.txt";

	auto r = fdmap({"--tsv", "--only", path, pid});
	auto v = rows(r.out);
	ASSERT_EQ(v.size(), 1u) << r.out;
	EXPECT_EQ(v[0].fd, fd);
	EXPECT_EQ(v[0].path, tsvpath);

	auto j = fdmap({"--json", "--only", path, pid});
	json doc = parser(j.out).document();
	EXPECT_EQ(doc["descriptions"].a.at(0)["path"].text(), path);
	EXPECT_NE(j.out.find("\\udcff"), std::string::npos) << j.out;

	auto fig = fdmap({"--only", path, pid});
	EXPECT_NE(fig.out.find(tsvpath), std::string::npos) << fig.out;

	// Python's own parser, where there is one, reads it back the same.
	std::string python = tool("python3");
	if (python.empty())
		GTEST_SKIP() << "no python3 to read the JSON with";
	support::options o(python, {"python3", "-c",
				    "import json, os, sys\n"
				    "d = json.loads(sys.stdin.buffer.read())\n"
				    "sys.stdout.write(os.fsencode("
				    "d['descriptions'][0]['path']).hex())\n"});
	o.input = j.out;
	auto py = support::run(o);
	std::string hex;
	for (char c : path) {
		std::array<char, 3> h{};
		std::snprintf(h.data(), h.size(), "%02x",
			      static_cast<unsigned char>(c));
		hex += h.data();
	}
	EXPECT_EQ(py.out, hex) << py.err;
}

TEST(fdmap, a_process_that_cannot_be_read_is_reported_and_the_rest_shown)
{
	pid_t gone = fork();
	if (gone == 0)
		_exit(0);
	waitpid(gone, nullptr, 0);
	kid k;
	std::string dead = std::to_string(gone), pid = std::to_string(k.pid());
	auto r = fdmap({"--tsv", dead, pid});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "fdmap: " + dead + ": No such process\n");
	auto v = rows(r.out);
	ASSERT_FALSE(v.empty());
	for (const row &x : v)
		EXPECT_EQ(x.pid, k.pid());

	r = fdmap({"--json", dead});
	EXPECT_EQ(r.status, 1);
	json doc = parser(r.out).document();
	EXPECT_TRUE(doc["processes"].a.empty());
	EXPECT_TRUE(doc["descriptions"].a.empty());

	// Named twice, shown once.
	EXPECT_EQ(rows(fdmap({"--tsv", pid, pid}).out).size(), v.size());
}

TEST(fdmap, usage_errors_exit_2)
{
	const std::string usage =
		"usage: fdmap [--json | --tsv | --dot] [--only path] pid ...\n";
	struct {
		std::vector<std::string> args;
		std::string err; // empty: getopt's message, then the usage
	} cases[] = {
		{{}, usage},
		{{"--tsv"}, usage},
		{{"--json", "--tsv", "1"}, usage},
		{{"--tsv", "--tsv", "1"}, usage},
		{{"--dot", "--json", "1"}, usage},
		{{"--bogus", "1"}, ""},
		{{"--only"}, ""},
		{{"abc"}, "fdmap: abc: not a process id\n"},
		{{"1x"}, "fdmap: 1x: not a process id\n"},
		{{"0"}, "fdmap: 0: not a process id\n"},
		{{"+1"}, "fdmap: +1: not a process id\n"},
		{{"99999999999"}, "fdmap: 99999999999: not a process id\n"},
		{{"1", ""}, "fdmap: : not a process id\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.args));
		auto r = fdmap(c.args);
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.out, "");
		if (c.err.empty())
			EXPECT_TRUE(ends(r.err, usage)) << r.err;
		else
			EXPECT_EQ(r.err, c.err);
	}
}

TEST(fdmap, looking_at_itself_it_leaves_out_its_own_descriptors)
{
	// The shell becomes fdmap under its own pid: fdmap is given its own.
	support::options o("/bin/sh",
			   {"sh", "-c", "exec \"$0\" --tsv $$", bin("fdmap")});
	auto r = support::run(o);
	EXPECT_EQ(r.status, 0) << r.err;
	auto v = rows(r.out);
	std::vector<int> fds;
	for (const row &x : v) {
		fds.push_back(x.fd);
		EXPECT_EQ(x.path.find("/proc/"), std::string::npos) << x.path;
	}
	// Only what the runner gave it: standard input, output and error.
	EXPECT_EQ(fds, (std::vector<int>{0, 1, 2})) << r.out;
}

TEST(fdmap, a_thousand_descriptors_of_one_file_take_well_under_a_second)
{
	rlimit nofile{};
	getrlimit(RLIMIT_NOFILE, &nofile);
	if (nofile.rlim_max < 1100)
		GTEST_SKIP() << "the hard limit on open files is below 1100";
	support::scratch dir;
	dir.put("f", letters);
	std::string f = dir / "f";
	// Half of them one description, dup'ed; half an open each.
	kid k({}, [&] {
		rlimit r{};
		getrlimit(RLIMIT_NOFILE, &r);
		r.rlim_cur = std::max<rlim_t>(r.rlim_cur, 1100);
		if (setrlimit(RLIMIT_NOFILE, &r) < 0)
			return false;
		int a = open(f.c_str(), O_RDONLY);
		for (int i = 1; i < 500; i++)
			if (dup(a) < 0)
				return false;
		for (int i = 0; i < 500; i++)
			if (open(f.c_str(), O_RDONLY) < 0)
				return false;
		return a >= 0;
	});
	ASSERT_TRUE(k.ok());
	std::string pid = std::to_string(k.pid());
	for (std::string mode : {"--tsv", "--json", "--only"}) {
		SCOPED_TRACE(mode);
		std::vector<std::string> args{"--only", f, pid};
		if (mode != "--only")
			args.insert(args.begin(), mode);
		auto start = std::chrono::steady_clock::now();
		auto r = fdmap(args);
		std::chrono::duration<double, std::milli> took =
			std::chrono::steady_clock::now() - start;
		std::printf("fdmap %s on 1000 descriptors: %.1f ms\n",
			    mode == "--only" ? "(figure)" : mode.c_str(),
			    took.count());
		EXPECT_EQ(r.status, 0);
		EXPECT_LT(took.count(), 1000.0);
		if (mode != "--tsv")
			continue;
		auto v = rows(r.out);
		ASSERT_EQ(v.size(), 1000u);
		std::map<int, int> holders;
		for (const row &x : v)
			holders[x.desc]++;
		EXPECT_EQ(holders.size(), 501u);
		EXPECT_EQ(holders[find(v, k.pid(), v[0].fd).desc], 500);
		grouped_as_kcmp(v, {k.pid()});
	}

	// Sorted, not compared pair by pair: some ten thousand calls of kcmp,
	// where every pair would be half a million.
	std::string strace = tool("strace");
	if (strace.empty())
		GTEST_SKIP() << "no strace to count the calls of kcmp with";
	support::options o(strace, {"strace", "-f", "-qq", "-o", dir / "calls",
				    "-e", "trace=kcmp", bin("fdmap"), "--tsv",
				    "--only", f, pid});
	// LeakSanitizer cannot work under strace.
	o.env = {"ASAN_OPTIONS=detect_leaks=0"};
	auto r = support::run(o);
	if (r.status != 0)
		GTEST_SKIP() << "strace cannot trace here: " << r.err;
	std::istringstream calls(dir.get("calls"));
	std::size_t n = 0;
	for (std::string line; std::getline(calls, line);)
		n += line.find("kcmp(") != std::string::npos;
	std::printf("fdmap on 1000 descriptors: %zu calls of kcmp\n", n);
	EXPECT_GE(n, 1000u);
	EXPECT_LT(n, 30000u);
}
