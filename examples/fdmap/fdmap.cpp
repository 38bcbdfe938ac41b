// Draws what the kernel keeps for the descriptors of the processes named:
// each process's descriptors, the open file descriptions they refer to
// (offset and status flags) and the files behind those; with --tsv or
// --json, the same as data, and with --dot as a graph for Graphviz's dot to
// lay out. /proc/PID/fd and /proc/PID/fdinfo tell what
// each descriptor refers to; only kcmp(2) can tell which of them share
// one description.
#include <dirent.h>
#include <getopt.h>
#include <langinfo.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// One descriptor of one process and what it refers to.
struct fdesc {
	pid_t pid = 0;
	int fd = 0;
	bool cloexec = false;
	long long pos = 0;
	unsigned flags = 0; // the description's, O_CLOEXEC taken out
	dev_t dev = 0;
	ino_t ino = 0;
	std::string path;
	std::string unknown; // why kcmp could not tell, where it could not
	std::size_t desc = 0;
};

struct proc {
	pid_t pid;
	std::string name;
	std::vector<std::size_t> fds;
};

// One open file description: its holders in the order of the rows.
// The first holder's offset, flags and file stand for all of them.
struct desc {
	std::vector<std::size_t> held;
};

// The kernel's values on x86-64, as fdinfo prints them. glibc's O_LARGEFILE
// is 0 there, and O_SYNC and O_TMPFILE take two bits each, so they come
// before O_DSYNC and O_DIRECTORY.
struct flagname {
	unsigned bits;
	const char *name;
};
constexpr std::array<flagname, 16> flagnames{{
	{02000, "O_APPEND"},
	{04000, "O_NONBLOCK"},
	{020000, "O_ASYNC"},
	{040000, "O_DIRECT"},
	{04010000, "O_SYNC"},
	{010000, "O_DSYNC"},
	{0100000, "O_LARGEFILE"},
	{01000000, "O_NOATIME"},
	{010000000, "O_PATH"},
	{020200000, "O_TMPFILE"},
	{0200000, "O_DIRECTORY"},
	{0400000, "O_NOFOLLOW"},
	{0100, "O_CREAT"},
	{0200, "O_EXCL"},
	{0400, "O_NOCTTY"},
	{01000, "O_TRUNC"},
}};
constexpr unsigned cloexecbit = 02000000;

std::string
octal(unsigned v)
{
	std::array<char, 16> buf{};
	std::snprintf(buf.data(), buf.size(), "0%o", v);
	return buf.data();
}

// The access mode, then each further bit by name, once; an access mode of
// 3 (neither reading nor writing) and bits without a name in octal.
std::vector<std::string>
names(unsigned flags)
{
	constexpr std::array<const char *, 4> modes{"O_RDONLY", "O_WRONLY",
						    "O_RDWR", "03"};
	std::vector<std::string> v{modes[flags & 3]};
	flags &= ~3u;
	for (const flagname &f : flagnames)
		if ((flags & f.bits) == f.bits) {
			v.emplace_back(f.name);
			flags &= ~f.bits;
		}
	if (flags)
		v.push_back(octal(flags));
	return v;
}

std::string
join(const std::vector<std::string> &v, const char *sep)
{
	std::string s;
	for (const std::string &x : v)
		s += (s.empty() ? "" : sep) + x;
	return s;
}

// "a, b and c".
std::string
andjoin(const std::vector<std::string> &v)
{
	if (v.size() < 2)
		return join(v, "");
	std::vector<std::string> head(v.begin(), v.end() - 1);
	return join(head, ", ") + " and " + v.back();
}

// Numbers as words: runs of four or more as "3 to 502".
std::vector<std::string>
runs(const std::vector<long> &n, const std::string &prefix)
{
	std::vector<std::string> v;
	for (std::size_t i = 0, j; i < n.size(); i = j) {
		for (j = i + 1; j < n.size() && n[j] == n[j - 1] + 1; j++) {
		}
		if (j - i < 4) {
			for (std::size_t k = i; k < j; k++)
				v.push_back(prefix + std::to_string(n[k]));
			continue;
		}
		std::string r = prefix + std::to_string(n[i]);
		r += " to ";
		r += prefix + std::to_string(n[j - 1]);
		v.push_back(r);
	}
	return v;
}

std::string
devno(dev_t dev)
{
	return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// A tab, newline or backslash as \t, \n, \\ so that a path stays on its
// line; for a terminal, any other control character as \ooo.
std::string
escape(const std::string &s, bool controls)
{
	std::string r;
	for (char c : s) {
		auto u = static_cast<unsigned char>(c);
		std::array<char, 8> o{};
		if (c == '\t') {
			r += "\\t";
		} else if (c == '\n') {
			r += "\\n";
		} else if (c == '\\') {
			r += "\\\\";
		} else if (controls && (u < 0x20 || u == 0x7f)) {
			std::snprintf(o.data(), o.size(), "\\%03o", u);
			r += o.data();
		} else {
			r += c;
		}
	}
	return r;
}

// The length of the UTF-8 character at s[i]; 0 where the bytes there are
// not one.
std::size_t
utf8len(const std::string &s, std::size_t i)
{
	auto c = static_cast<unsigned char>(s[i]);
	if (c < 0x80)
		return 1;
	std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
	if (c < 0xc2 || c > 0xf4 || i + n > s.size())
		return 0;
	unsigned cp = c & (0x7fu >> n);
	for (std::size_t k = 1; k < n; k++) {
		auto d = static_cast<unsigned char>(s[i + k]);
		if ((d & 0xc0) != 0x80)
			return 0;
		cp = cp << 6 | (d & 0x3f);
	}
	constexpr std::array<unsigned, 5> least{0, 0, 0x80, 0x800, 0x10000};
	if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
		return 0;
	return n;
}

// A JSON string. A path is bytes, not always UTF-8: a byte that is not
// part of a character is written \udcXX, as Python's surrogateescape reads
// it back.
std::string
jstr(const std::string &s)
{
	std::string r = "\"";
	for (std::size_t i = 0; i < s.size();) {
		auto c = static_cast<unsigned char>(s[i]);
		std::size_t n = utf8len(s, i);
		std::array<char, 8> u{};
		if (c == '"' || c == '\\') {
			r += '\\';
			r += s[i];
		} else if (c == '\n') {
			r += "\\n";
		} else if (c == '\t') {
			r += "\\t";
		} else if (c < 0x20 || c == 0x7f) {
			std::snprintf(u.data(), u.size(), "\\u%04x", c);
			r += u.data();
		} else if (n == 0) {
			std::snprintf(u.data(), u.size(), "\\udc%02x", c);
			r += u.data();
		} else {
			r.append(s, i, n);
		}
		i += n ? n : 1;
	}
	return r + "\"";
}

long
kcmp(const fdesc &a, const fdesc &b)
{
	return syscall(SYS_kcmp, a.pid, b.pid, KCMP_FILE, a.fd, b.fd);
}

std::string
refusal(int err)
{
	const char *name = strerrorname_np(err);
	std::string s = err == ENOSYS ? "kcmp missing: " : "kcmp refused: ";
	return s + (name ? name : std::to_string(err));
}

// Appends the descriptors of pid to fds, in the order of their numbers.
// One closed while we look is left out. Returns 0, or why the process
// cannot be read.
int
readproc(pid_t pid, std::string &name, std::vector<fdesc> &fds)
{
	std::string dir = "/proc/" + std::to_string(pid);
	DIR *d = opendir((dir + "/fd").c_str());
	if (!d)
		return errno == ENOENT ? ESRCH : errno;
	std::vector<int> nums;
	while (dirent *e = readdir(d)) {
		char *end;
		long fd = std::strtol(e->d_name, &end, 10);
		if (e->d_name[0] != '.' && *end == '\0')
			nums.push_back(static_cast<int>(fd));
	}
	// Looking at ourselves, the list has the directory's own descriptor
	// in it: closed now, it is left out below as any other that closed
	// meanwhile is. Nothing else is open when each link is read.
	closedir(d);
	std::sort(nums.begin(), nums.end());
	std::getline(std::ifstream(dir + "/comm"), name);

	for (int fd : nums) {
		fdesc x;
		x.pid = pid;
		x.fd = fd;
		std::string link = dir + "/fd/" + std::to_string(fd);
		std::array<char, PATH_MAX + 1> buf{};
		ssize_t n = readlink(link.c_str(), buf.data(), PATH_MAX);
		if (n < 0)
			continue;
		x.path.assign(buf.data(), n);
		// A file that cannot be examined (on a dead network mount, say)
		// shows as 0:0, inode 0; kcmp still tells its descriptions.
		struct stat st;
		if (stat(link.c_str(), &st) == 0) {
			x.dev = st.st_dev;
			x.ino = st.st_ino;
		}
		std::ifstream info(dir + "/fdinfo/" + std::to_string(fd));
		std::string key;
		bool found = false;
		while (info >> key)
			if (key == "pos:") {
				info >> x.pos;
			} else if (key == "flags:") {
				info >> std::oct >> x.flags >> std::dec;
				found = true;
			}
		if (!found)
			continue;
		x.cloexec = x.flags & cloexecbit;
		x.flags &= ~cloexecbit;
		if (kcmp(x, x) < 0) {
			if (errno == EBADF)
				continue;
			x.unknown = refusal(errno);
		}
		fds.push_back(x);
	}
	return 0;
}

// Sorts descriptors of one file by kcmp's order of their descriptions, so
// that those of one description end up side by side. The processes run
// on while we look: a descriptor closed and reused meanwhile makes kcmp's
// answers disagree, which std::sort need not survive. A merge never
// leaves its ranges, whatever the answers.
void
sortfile(std::vector<std::size_t> &v, const std::vector<fdesc> &fds)
{
	std::vector<std::size_t> t;
	for (std::size_t w = 1; w < v.size(); w *= 2) {
		t.clear();
		for (std::size_t lo = 0; lo < v.size(); lo += 2 * w) {
			std::size_t mid = std::min(lo + w, v.size());
			std::size_t hi = std::min(lo + 2 * w, v.size());
			std::size_t i = lo, j = mid;
			while (i < mid && j < hi)
				if (kcmp(fds[v[j]], fds[v[i]]) == 1)
					t.push_back(v[j++]);
				else
					t.push_back(v[i++]);
			while (i < mid)
				t.push_back(v[i++]);
			while (j < hi)
				t.push_back(v[j++]);
		}
		v.swap(t);
	}
}

void
tsv(const std::vector<proc> &procs, const std::vector<fdesc> &fds,
    const std::vector<desc> &descs)
{
	std::printf("pid\tfd\tdesc\tpos\tflags\tnames\tcloexec\tknown\tdev\t"
		    "ino\tpath\n");
	for (const proc &p : procs)
		for (std::size_t i : p.fds) {
			const fdesc &x = fds[i];
			const fdesc &d = fds[descs[x.desc - 1].held[0]];
			std::printf("%d\t%d\t%zu\t%lld\t%s\t%s\t", x.pid, x.fd,
				    x.desc, d.pos, octal(d.flags).c_str(),
				    join(names(d.flags), "|").c_str());
			std::printf("%d\t%d\t%s\t%llu\t%s\n", x.cloexec,
				    x.unknown.empty(), devno(d.dev).c_str(),
				    static_cast<unsigned long long>(d.ino),
				    escape(d.path, false).c_str());
		}
}

void
json(const std::vector<proc> &procs, const std::vector<fdesc> &fds,
     const std::vector<desc> &descs, const std::vector<std::string> &unknown)
{
	std::printf("{\n  \"processes\": [");
	for (std::size_t k = 0; k < procs.size(); k++) {
		const proc &p = procs[k];
		std::vector<std::string> nums;
		nums.reserve(p.fds.size());
		for (std::size_t i : p.fds)
			nums.push_back(std::to_string(fds[i].fd));
		std::printf("%s\n    {\"pid\": %d, \"name\": %s, ",
			    k ? "," : "", p.pid, jstr(p.name).c_str());
		std::printf("\"fds\": [%s]}", join(nums, ", ").c_str());
	}
	std::printf("\n  ],\n  \"descriptions\": [");
	for (std::size_t k = 0; k < descs.size(); k++) {
		const fdesc &d = fds[descs[k].held[0]];
		std::vector<std::string> flags, held;
		for (const std::string &n : names(d.flags))
			flags.push_back(jstr(n));
		for (std::size_t i : descs[k].held) {
			const fdesc &x = fds[i];
			held.push_back("{\"pid\": " + std::to_string(x.pid) +
				       ", \"fd\": " + std::to_string(x.fd) +
				       ", \"cloexec\": " +
				       (x.cloexec ? "true" : "false") + "}");
		}
		std::printf("%s\n    {\"id\": %zu, \"pos\": %lld, ",
			    k ? "," : "", k + 1, d.pos);
		std::printf("\"flags\": [%s], \"path\": %s, ",
			    join(flags, ", ").c_str(), jstr(d.path).c_str());
		std::printf("\"dev\": \"%s\", \"ino\": %llu, \"known\": %s, ",
			    devno(d.dev).c_str(),
			    static_cast<unsigned long long>(d.ino),
			    d.unknown.empty() ? "true" : "false");
		std::printf("\"held\": [%s]}", join(held, ", ").c_str());
	}
	std::printf("\n  ]");
	if (!unknown.empty())
		std::printf(",\n  \"unknown\": %s",
			    jstr(join(unknown, "; ")).c_str());
	std::printf("\n}\n");
}

// The figure's lines, in box-drawing characters or in ASCII.
struct glyphs {
	const char *h, *v, *tl, *tr, *bl, *br, *out, *down, *join, *end, *arrow;
};
constexpr glyphs boxes{"─", "│", "┌", "┐", "└", "┘", "├", "┬", "┤", "┘", "→"};
constexpr glyphs ascii{"-", "|", "+", "+", "+", "+", "+", "+", "+", "+", ">"};

// More lanes than this would take the figure past 80 columns; further
// shared descriptions are named again on their rows instead.
constexpr std::size_t maxlanes = 8;
constexpr std::size_t nolane = SIZE_MAX;

// Where a lane meets a row: at its first, its last or a middle one.
const char *
joint(const glyphs &g, bool first, bool last)
{
	if (first)
		return g.down;
	return last ? g.end : g.join;
}

std::string
title(const proc &p)
{
	return std::to_string(p.pid) + " " + escape(p.name, true);
}

std::string
fdtext(const fdesc &x)
{
	return "fd " + std::to_string(x.fd) + (x.cloexec ? " cloexec" : "");
}

std::size_t
width(const std::string &s)
{
	return std::count_if(s.begin(), s.end(), [](char c) {
		return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
	});
}

std::string
repeat(const char *s, std::size_t n)
{
	std::string r;
	for (std::size_t i = 0; i < n; i++)
		r += s;
	return r;
}

std::string
pad(const std::string &s, std::size_t w)
{
	return s + std::string(w > width(s) ? w - width(s) : 0, ' ');
}

// Prints text folded at 80 columns, the lines after the first indented.
void
say(const std::string &text)
{
	std::string line;
	std::size_t at = 0;
	while (at < text.size()) {
		std::size_t end = text.find(' ', at);
		if (end == std::string::npos)
			end = text.size();
		std::string word = text.substr(at, end - at);
		if (!line.empty() && width(line) + 1 + width(word) > 80) {
			std::printf("%s\n", line.c_str());
			line = "  ";
		} else if (!line.empty()) {
			line += ' ';
		}
		line += word;
		at = end + 1;
	}
	std::printf("%s\n", line.c_str());
}

// "1234 fd 3, 4 and 1235 fd 3": who holds a description, by process.
std::string
holders(const std::vector<std::size_t> &held, const std::vector<fdesc> &fds)
{
	std::vector<std::string> by;
	std::vector<long> nums;
	for (std::size_t k = 0; k < held.size(); k++) {
		const fdesc &x = fds[held[k]];
		nums.push_back(x.fd);
		if (k + 1 < held.size() && fds[held[k + 1]].pid == x.pid)
			continue;
		by.push_back(std::to_string(x.pid) + " fd " +
			     join(runs(nums, ""), ", "));
		nums.clear();
	}
	return andjoin(by);
}

void
figure(const std::vector<proc> &procs, const std::vector<fdesc> &fds,
       const std::vector<desc> &descs, const glyphs &g)
{
	// The rows: each process's box, a row for each of its descriptors.
	enum kind : unsigned char { top, fdrow, none, bottom };
	struct row {
		kind k;
		std::size_t i; // the process, or for fdrow the descriptor
	};
	std::vector<row> rows;
	std::size_t w = width("(none)");
	for (std::size_t k = 0; k < procs.size(); k++) {
		const proc &p = procs[k];
		w = std::max(w, width(title(p)) + 2);
		rows.push_back({top, k});
		for (std::size_t i : p.fds) {
			rows.push_back({fdrow, i});
			w = std::max(w, width(fdtext(fds[i])));
		}
		if (p.fds.empty())
			rows.push_back({none, k});
		rows.push_back({bottom, k});
	}

	// A description shared by several rows is drawn on the first of them
	// and the others join it on a lane, a vertical line of its own.
	std::size_t n = descs.size();
	std::vector<std::size_t> first(n, SIZE_MAX), last(n, 0);
	std::vector<std::size_t> lane(n, nolane);
	for (std::size_t r = 0; r < rows.size(); r++)
		if (rows[r].k == fdrow) {
			std::size_t d = fds[rows[r].i].desc - 1;
			first[d] = std::min(first[d], r);
			last[d] = r;
		}
	// Descriptions are numbered in the order of their first rows: the
	// first free lane is the leftmost one not taken below that row.
	std::vector<std::size_t> lanes; // the last row each lane is taken to
	for (std::size_t d = 0; d < n; d++) {
		if (descs[d].held.size() < 2)
			continue;
		std::size_t l = 0;
		while (l < lanes.size() && lanes[l] >= first[d])
			l++;
		if (l == maxlanes)
			continue;
		if (l == lanes.size())
			lanes.push_back(0);
		lanes[l] = last[d];
		lane[d] = l;
	}
	std::vector<std::vector<bool>> taken(rows.size());
	for (auto &t : taken)
		t.assign(lanes.size(), false);
	for (std::size_t d = 0; d < n; d++)
		if (lane[d] != nolane)
			for (std::size_t r = first[d]; r <= last[d]; r++)
				taken[r][lane[d]] = true;

	std::printf("%s%s\n",
		    pad("descriptors", w + 7 + 2 * lanes.size()).c_str(),
		    "open file descriptions");
	for (std::size_t r = 0; r < rows.size(); r++) {
		const row &x = rows[r];
		std::string s, label;
		bool isfd = x.k == fdrow, through = false;
		std::size_t d = isfd ? fds[x.i].desc - 1 : 0;
		if (x.k == top) {
			std::string t = title(procs[x.i]);
			s = std::string(g.tl) + g.h + " " + t + " " +
			    repeat(g.h, w - width(t) - 1) + g.tr;
		} else if (x.k == bottom) {
			s = g.bl + repeat(g.h, w + 2) + g.br;
		} else if (x.k == none) {
			s = std::string(g.v) + " " + pad("(none)", w) + " " +
			    g.v;
		} else {
			const fdesc &f = fds[x.i];
			const fdesc &h = fds[descs[d].held[0]];
			s = std::string(g.v) + " " + pad(fdtext(f), w);
			s += std::string(" ") + g.out;
			through = first[d] == r || lane[d] == nolane;
			label = "#" + std::to_string(f.desc);
			if (first[d] != r)
				label += ", as above";
			else
				label += " pos " + std::to_string(h.pos) + " " +
					 join(names(h.flags), "|");
			if (first[d] == r && !h.unknown.empty())
				label += " (not known to be shared)";
		}
		for (std::size_t l = 0; l < lanes.size(); l++) {
			bool mine = isfd && lane[d] == l;
			bool line = isfd && (through || l <= lane[d]);
			s += line ? g.h : " ";
			if (mine)
				s += joint(g, first[d] == r, last[d] == r);
			else if (taken[r][l])
				s += g.v;
			else
				s += line ? g.h : " ";
		}
		if (through)
			s += std::string(g.h) + g.arrow + " " + label;
		while (!s.empty() && s.back() == ' ')
			s.pop_back();
		std::printf("%s\n", s.c_str());
	}

	// The files, each once, with the descriptions open on it.
	std::vector<std::vector<std::size_t>> files;
	std::map<std::pair<dev_t, ino_t>, std::size_t> fileof;
	for (std::size_t k = 0; k < n; k++) {
		const fdesc &h = fds[descs[k].held[0]];
		auto [it, added] = fileof.emplace(std::make_pair(h.dev, h.ino),
						  files.size());
		if (added)
			files.emplace_back();
		files[it->second].push_back(k);
	}
	std::size_t idw = width("#" + std::to_string(n));
	std::printf("\n%sfiles\n", std::string(idw + 6, ' ').c_str());
	for (const auto &f : files)
		for (std::size_t k = 0; k < f.size(); k++) {
			const fdesc &h = fds[descs[f[k]].held[0]];
			std::string s =
				pad("#" + std::to_string(f[k] + 1), idw) + " " +
				g.h;
			if (f.size() == 1)
				s += g.h;
			else
				s += joint(g, k == 0, k == f.size() - 1);
			if (k == 0)
				s += std::string(g.h) + g.arrow + " " +
				     escape(h.path, true) + " (device " +
				     devno(h.dev) + ", inode " +
				     std::to_string(h.ino) + ")";
			std::printf("%s\n", s.c_str());
		}

	// What is shared, in words.
	std::printf("\n");
	bool several = false, split = false, cloexec = false;
	std::map<std::string, std::vector<long>> unknown;
	for (std::size_t k = 0; k < n; k++) {
		const std::vector<std::size_t> &held = descs[k].held;
		const fdesc &h = fds[held[0]];
		if (!h.unknown.empty())
			unknown[h.unknown].push_back(static_cast<long>(k + 1));
		for (std::size_t i : held)
			cloexec |= fds[i].cloexec;
		if (held.size() < 2)
			continue;
		several = true;
		say("#" + std::to_string(k + 1) +
		    " is one description, held by " + holders(held, fds) + ".");
	}
	for (const auto &f : files) {
		if (f.size() < 2)
			continue;
		split = true;
		std::vector<long> ids;
		ids.reserve(f.size());
		for (std::size_t k : f)
			ids.push_back(static_cast<long>(k + 1));
		say(andjoin(runs(ids, "#")) + " are " +
		    std::to_string(f.size()) + " descriptions of one file, " +
		    escape(fds[descs[f[0]].held[0]].path, true) + ".");
	}
	for (const auto &[why, ids] : unknown)
		say(andjoin(runs(ids, "#")) +
		    (ids.size() > 1 ? " are" : " is") +
		    " not known to be shared: " + why + ".");
	if (several)
		say("The descriptors of one description share its offset and "
		    "its status flags.");
	if (split)
		say("Each description of a file has an offset of its own.");
	if (!several && !split)
		say("No description is held by more than one descriptor, "
		    "and no file has more than one description.");
	if (cloexec)
		say("cloexec: the descriptor is closed on exec; the flag "
		    "is the descriptor's, not its description's.");
}
// A label for Graphviz: its lines quoted, quotes and backslashes escaped,
// joined by its own newline, \\n.
std::string
dq(const std::vector<std::string> &lines)
{
	std::string r = "\"";
	for (std::size_t k = 0; k < lines.size(); k++) {
		if (k)
			r += "\\n";
		for (char c : lines[k]) {
			if (c == '"' || c == '\\')
				r += '\\';
			r += c == '\n' ? ' ' : c;
		}
	}
	return r + '"';
}

// The same as a graph for Graphviz's dot to lay out: each process a box of
// its descriptors, each description a node (offset, flags), each file a
// node; an arrow from each descriptor to its description, and from each
// description to its file. A description kcmp could not tell about is
// drawn dashed: not known to be shared.
void
dot(const std::vector<proc> &procs, const std::vector<fdesc> &fds,
    const std::vector<desc> &descs)
{
	std::printf("digraph fdmap {\n  rankdir=LR;\n"
		    "  fontname=\"DejaVu Sans\";\n"
		    "  node [shape=box, fontname=\"DejaVu Sans\"];\n");
	for (const proc &p : procs) {
		std::printf("  subgraph cluster_%d {\n    label=%s;\n", p.pid,
			    dq({title(p)}).c_str());
		for (std::size_t i : p.fds)
			std::printf("    p%d_%d [label=%s];\n", fds[i].pid,
				    fds[i].fd, dq({fdtext(fds[i])}).c_str());
		// A process that holds nothing is drawn all the same: that it
		// holds nothing is what the figure may be there to show.
		if (p.fds.empty())
			std::printf(
				"    p%d [label=\"(none)\", shape=plain];\n",
				p.pid);
		std::printf("  }\n");
	}
	std::map<std::pair<dev_t, ino_t>, std::string> files;
	for (std::size_t k = 0; k < descs.size(); k++) {
		const fdesc &d = fds[descs[k].held[0]];
		std::printf("  d%zu [label=%s, shape=ellipse%s];\n", k + 1,
			    dq({"#" + std::to_string(k + 1),
				"pos " + std::to_string(d.pos),
				join(names(d.flags), "|")})
				    .c_str(),
			    d.unknown.empty() ? "" : ", style=dashed");
		for (std::size_t i : descs[k].held)
			std::printf("  p%d_%d -> d%zu;\n", fds[i].pid,
				    fds[i].fd, k + 1);
		auto key = std::make_pair(d.dev, d.ino);
		if (!files.count(key)) {
			files[key] = "f" + std::to_string(files.size() + 1);
			std::printf("  %s [label=%s, shape=note];\n",
				    files[key].c_str(),
				    dq({d.path, devno(d.dev) + ", inode " +
							std::to_string(d.ino)})
					    .c_str());
		}
		std::printf("  d%zu -> %s;\n", k + 1, files[key].c_str());
	}
	std::printf("}\n");
}

[[noreturn]] void
usage()
{
	std::fprintf(stderr,
		     "usage: fdmap [--json | --tsv | --dot] [--only path] pid "
		     "...\n");
	std::exit(2);
}

} // namespace

int
main(int argc, char *argv[])
{
	std::setlocale(LC_ALL, "");
	bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
	int mode = 0; // the option that chose the output: 'j', 't' or 'd'
	const char *only = nullptr;
	constexpr std::array<option, 5> longs{{
		{"json", no_argument, nullptr, 'j'},
		{"tsv", no_argument, nullptr, 't'},
		{"dot", no_argument, nullptr, 'd'},
		{"only", required_argument, nullptr, 'o'},
		{nullptr, 0, nullptr, 0},
	}};
	int c;
	while ((c = getopt_long(argc, argv, "", longs.data(), nullptr)) != -1) {
		if (c == 'o')
			only = optarg;
		else if ((c == 'j' || c == 't' || c == 'd') && mode == 0)
			mode = c;
		else
			usage();
	}
	if (optind == argc)
		usage();
	struct stat want = {};
	if (only && stat(only, &want) < 0) {
		std::fprintf(stderr, "fdmap: %s: %s\n", only,
			     std::strerror(errno));
		return 2;
	}
	std::vector<pid_t> pids;
	for (int i = optind; i < argc; i++) {
		char *end;
		errno = 0;
		long pid = std::strtol(argv[i], &end, 10);
		if (!std::isdigit(static_cast<unsigned char>(argv[i][0])) ||
		    *end || errno || pid <= 0 || pid > INT_MAX) {
			std::fprintf(stderr, "fdmap: %s: not a process id\n",
				     argv[i]);
			return 2;
		}
		if (std::find(pids.begin(), pids.end(), pid) == pids.end())
			pids.push_back(static_cast<pid_t>(pid));
	}

	// Each process's descriptors, and what they refer to.
	int status = 0;
	std::vector<proc> procs;
	std::vector<fdesc> all;
	for (pid_t pid : pids) {
		proc p{pid, {}, {}};
		int err = readproc(pid, p.name, all);
		if (err) {
			std::fprintf(stderr, "fdmap: %d: %s\n", pid,
				     std::strerror(err));
			status = 1;
			continue;
		}
		procs.push_back(p);
	}
	std::vector<fdesc> fds;
	for (const fdesc &x : all)
		if (!only || (x.dev == want.st_dev && x.ino == want.st_ino))
			fds.push_back(x);
	for (std::size_t i = 0, k = 0; i < fds.size(); i++) {
		while (procs[k].pid != fds[i].pid)
			k++;
		procs[k].fds.push_back(i);
	}

	// Where kcmp cannot tell, said once for each reason.
	std::map<std::string, std::vector<long>> refused;
	for (const fdesc &x : fds) {
		if (x.unknown.empty())
			continue;
		auto &v = refused[x.unknown];
		if (v.empty() || v.back() != x.pid)
			v.push_back(x.pid);
	}
	std::vector<std::string> unknown;
	for (const auto &[why, who] : refused) {
		std::fprintf(stderr,
			     "fdmap: %s for %s: their descriptors are not "
			     "known to be shared\n",
			     why.c_str(), andjoin(runs(who, "")).c_str());
		unknown.push_back(why);
	}

	// Descriptions: kcmp compares descriptors of one file only, sorted so
	// that each description's descriptors are neighbours. One kcmp cannot
	// tell about has a description to itself.
	std::map<std::pair<dev_t, ino_t>, std::vector<std::size_t>> byfile;
	std::vector<std::size_t> group(fds.size());
	std::size_t groups = 0;
	for (std::size_t i = 0; i < fds.size(); i++)
		if (fds[i].unknown.empty())
			byfile[{fds[i].dev, fds[i].ino}].push_back(i);
		else
			group[i] = groups++;
	for (auto &[file, v] : byfile) {
		sortfile(v, fds);
		for (std::size_t k = 0; k < v.size(); k++) {
			if (k > 0 && kcmp(fds[v[k - 1]], fds[v[k]]) != 0)
				groups++;
			group[v[k]] = groups;
		}
		groups++;
	}
	// Numbered in the order they first appear.
	std::vector<std::size_t> number(groups, 0);
	std::vector<desc> descs;
	for (std::size_t i = 0; i < fds.size(); i++) {
		std::size_t &id = number[group[i]];
		if (id == 0) {
			descs.emplace_back();
			id = descs.size();
		}
		fds[i].desc = id;
		descs[id - 1].held.push_back(i);
	}

	if (mode == 't')
		tsv(procs, fds, descs);
	else if (mode == 'j')
		json(procs, fds, descs, unknown);
	else if (mode == 'd')
		dot(procs, fds, descs);
	else if (!procs.empty())
		figure(procs, fds, descs, utf8 ? boxes : ascii);
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::fprintf(stderr, "fdmap: write error: %s\n",
			     std::strerror(errno));
		return 1;
	}
	return status;
}
