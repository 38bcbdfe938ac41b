// Reads strace's output (standard input, or each file named) and prints
// one record a system call, for shell scripts and tests to read back:
// a header line, then the records in the order of the input, their fields
// separated by one tab:
//
//	pid time call ret err fd file args note
//
// pid	the column strace -f writes ("123" or "[pid 123]"), else the .PID
//	that strace -ff -o NAME puts at the end of each file's name
// time	-ttt's or -r's stamp as printed; -t's and -tt's as seconds since
//	midnight
// call	the call's name; +signal for a "--- SIG... ---" line, +exit and
//	+killed for "+++ exited with N +++" and "+++ killed by SIG +++"
// ret	the return value as printed ("?" for none), the exit status of +exit
// err	the errno name when the call failed (ENOENT, ERESTARTSYS)
// fd	the first argument when it is a number, never negative (AT_FDCWD)
// file	what -y printed for the call's result, else for its first argument
// args	the arguments as printed, -y's <...> after each descriptor left out;
//	for +signal the signal and its siginfo, for +killed the signal
// note	the words in parentheses after the result (Timeout, flags O_RDWR,
//	No such file or directory, core dumped), then -T's duration as
//	dur=SECONDS; "unfinished" for a call that never returned
//
// A call strace shows in two lines, "<unfinished ...>" and "<... resumed>",
// is one record where it resumed, with the time it began. One that never
// resumed in the trace, cut there or killed in it, comes last of its
// process's records, with ret "?". Tabs and newlines in a field are written
// as \t and \n, file names as strace escaped them.
//
// Blank lines and strace's own messages are left out, and so is a file's
// last line, with no newline, where it was cut too early to read. Lines
// that are none of these, among them what -i, -k and -n add, are counted,
// and the count told on standard error: the exit status is then 1. It is
// 2 when a file cannot be read, with what was read before it printed.
//
//	usage: tracecalls [file ...]
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr auto npos = std::string::npos;
constexpr const char unfinished[] = "<unfinished ...>";

struct rec {
	std::string pid, time, call, ret, err, args, note;
};

std::vector<rec> waiting; // calls begun and not yet resumed
std::string out;

[[noreturn]] void
die(const std::string &what)
{
	std::cout << out << std::flush;
	std::cerr << "tracecalls: " << what << "\n";
	std::exit(2);
}

bool
digit(char c)
{
	return std::isdigit(static_cast<unsigned char>(c));
}

bool
word(char c)
{
	return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// w added to the words of a note.
void
add(std::string &note, const std::string &w)
{
	if (!note.empty())
		note += ' ';
	note += w;
}

bool
ends(const std::string &s, const char *end)
{
	std::size_t n = std::strlen(end);
	return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

std::string
trim(const std::string &s)
{
	std::size_t b = s.find_first_not_of(' ');
	if (b == npos)
		return "";
	return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Whether s[i] begins -y's annotation: a '<' right after a descriptor's
// number or AT_FDCWD.
bool
opens(const std::string &s, std::size_t i)
{
	return s[i] == '<' && i > 0 && word(s[i - 1]) && i + 1 < s.size() &&
	       s[i + 1] != '<';
}

// One past the '>' that closes the annotation at s[i]. -yy nests one
// (</dev/null<char 1:3>>); a socket's shows its peer as "->"; a path has
// its '<' and '>' escaped.
std::size_t
closing(const std::string &s, std::size_t i)
{
	int depth = 0;
	for (; i < s.size(); i++) {
		if (s[i] == '\\')
			i++;
		else if (s[i] == '<')
			depth++;
		else if (s[i] == '>' && s[i - 1] != '-' && --depth == 0)
			return i + 1;
	}
	return s.size();
}

// Where the list that begins at s[i] ends: the first ')' not matched
// within it, or npos when the line ends first. Strings and annotations
// may hold any bracket.
std::size_t
rparen(const std::string &s, std::size_t i)
{
	int depth = 0;
	bool quoted = false;
	for (; i < s.size(); i++) {
		char c = s[i];
		if (quoted) {
			if (c == '\\')
				i++;
			else if (c == '"')
				quoted = false;
		} else if (c == '"') {
			quoted = true;
		} else if (opens(s, i)) {
			i = closing(s, i) - 1;
		} else if (c == '(' || c == '[' || c == '{') {
			depth++;
		} else if ((c == ')' || c == ']' || c == '}') && --depth < 0) {
			return i;
		}
	}
	return npos;
}

// s without the annotations outside its strings.
std::string
bare(const std::string &s)
{
	std::string r;
	bool quoted = false;
	for (std::size_t i = 0; i < s.size(); i++) {
		char c = s[i];
		if (quoted && c == '\\' && i + 1 < s.size()) {
			r += c;
			c = s[++i];
		} else if (c == '"') {
			quoted = !quoted;
		} else if (!quoted && opens(s, i)) {
			i = closing(s, i) - 1;
			continue;
		}
		r += c;
	}
	return r;
}

// The file an annotation at s[i] names, without -yy's nested one.
std::string
named(const std::string &s, std::size_t i)
{
	std::string a = s.substr(i + 1, closing(s, i) - i - 2);
	return a.substr(0, a.find('<'));
}

// The args of a call begun on one line and resumed on another.
std::string
join(std::string a, const std::string &b)
{
	a = a.substr(0, a.find_last_not_of(' ') + 1);
	std::string t = trim(b);
	if (!t.empty() && ends(a, ",") && t[0] != ',')
		a += ' ';
	return a + t;
}

void
field(const std::string &s, char sep)
{
	for (char c : s) {
		if (c == '\t')
			out += "\\t";
		else if (c == '\n')
			out += "\\n";
		else
			out += c;
	}
	out += sep;
}

void
put(rec r)
{
	// The first argument, and what -y printed for it and for the result.
	std::string fd, file;
	std::size_t n = 0;
	while (n < r.args.size() && digit(r.args[n]))
		n++;
	std::size_t i = n;
	if (n > 0 && opens(r.args, n)) {
		file = named(r.args, n);
		i = closing(r.args, n);
	}
	if (n > 0 && (i == r.args.size() || r.args[i] == ','))
		fd = r.args.substr(0, n);
	else
		file.clear();
	std::size_t a = r.ret.find('<');
	if (a != npos && opens(r.ret, a)) {
		file = named(r.ret, a);
		r.ret.erase(a);
	}
	std::string args = r.args.substr(0, r.args.find_last_not_of(", ") + 1);
	field(r.pid, '\t');
	field(r.time, '\t');
	field(r.call, '\t');
	field(r.ret, '\t');
	field(r.err, '\t');
	field(fd, '\t');
	field(file, '\t');
	field(bare(args), '\t');
	field(r.note, '\n');
	if (out.size() > 1 << 16) {
		std::cout << out;
		out.clear();
	}
}

// The calls of pid that began and never resumed, at the end of its trace.
void
flush(const std::string &pid, bool all)
{
	for (auto w = waiting.begin(); w != waiting.end();) {
		if (!all && w->pid != pid) {
			++w;
			continue;
		}
		w->ret = "?";
		w->note = "unfinished";
		put(*w);
		w = waiting.erase(w);
	}
}

// "12:34:56.789" as seconds since midnight.
std::string
seconds(const std::string &t)
{
	int h = 0, m = 0, s = 0, n = 0;
	if (std::sscanf(t.c_str(), "%2d:%2d:%2d%n", &h, &m, &s, &n) != 3)
		return t;
	return std::to_string(h * 3600 + m * 60 + s) + t.substr(n);
}

// What follows a call's ") = ": the result, errno, note and duration.
// False if it is not that.
bool
result(const std::string &s, rec &r)
{
	std::size_t i = s.find_first_not_of(' ');
	if (i == npos || s[i] != '=' || s.compare(i, 2, "= ") != 0)
		return false;
	i = s.find_first_not_of(' ', i + 1);
	if (i == npos)
		return false;
	std::size_t j = i;
	while (j < s.size() && s[j] != ' ')
		j = opens(s, j) ? closing(s, j) : j + 1;
	r.ret = s.substr(i, j - i);
	std::string rest = trim(s.substr(j));
	if (rest[0] == 'E' &&
	    std::isupper(static_cast<unsigned char>(rest[1]))) {
		std::size_t e = rest.find(' ');
		r.err = rest.substr(0, e);
		rest = e == npos ? "" : trim(rest.substr(e));
	}
	if (rest[0] == '(') {
		std::size_t e = rparen(rest, 1);
		if (e == npos)
			return false;
		add(r.note, bare(rest.substr(1, e - 1)));
		rest = trim(rest.substr(e + 1));
	}
	if (rest.size() > 2 && rest[0] == '<' && ends(rest, ">")) {
		std::string d = rest.substr(1, rest.size() - 2);
		add(r.note, digit(d[0]) ? "dur=" + d : d);
	} else if (!rest.empty()) {
		add(r.note, rest);
	}
	return true;
}

// Reads one line into a record, or a call begun there into waiting.
// False if it is none of strace's.
bool
line(const std::string &l, const std::string &self)
{
	rec r;
	r.pid = self;
	std::size_t i = 0, j;
	if (l.compare(0, 5, "[pid ") == 0) {
		i = l.find_first_not_of(' ', 5);
		j = l.find(']', i);
		if (j == npos)
			return false;
		r.pid = l.substr(i, j - i);
		i = j + 1;
	} else {
		j = l.find_first_not_of("0123456789");
		if (j > 0 && j != npos && l[j] == ' ') {
			r.pid = l.substr(0, j);
			i = j;
		}
	}
	i = l.find_first_not_of(' ', i);
	if (i == npos)
		return true;
	if (digit(l[i])) {
		j = l.find_first_not_of("0123456789:.", i);
		if (j == npos || l[j] != ' ')
			return false;
		r.time = l.substr(i, j - i);
		if (r.time.find(':') != npos)
			r.time = seconds(r.time);
		i = l.find_first_not_of(' ', j);
		if (i == npos)
			return false;
	}
	std::string s = l.substr(i);

	if (s.compare(0, 4, "--- ") == 0 && ends(s, " ---")) {
		r.call = "+signal";
		r.args = s.substr(4, s.size() - 8);
		put(r);
		return true;
	}
	if (s.compare(0, 4, "+++ ") == 0 && ends(s, " +++")) {
		s = s.substr(4, s.size() - 8);
		if (s.compare(0, 12, "exited with ") == 0) {
			r.call = "+exit";
			r.ret = s.substr(12);
		} else if (s.compare(0, 10, "killed by ") == 0) {
			r.call = "+killed";
			r.args = s.substr(10, s.find(' ', 10) - 10);
			if (ends(s, " (core dumped)"))
				r.note = "core dumped";
		} else {
			return false;
		}
		flush(r.pid, false);
		put(r);
		return true;
	}
	if (s.compare(0, 8, "strace: ") == 0)
		return true;

	// A call, whole or begun, or the rest of one begun before.
	bool resumed = s.compare(0, 5, "<... ") == 0;
	i = resumed ? 5 : 0;
	for (j = i; j < s.size() && word(s[j]);)
		j++;
	if (j == i)
		return false;
	r.call = s.substr(i, j - i);
	if (resumed && s.compare(j, 9, " resumed>") != 0)
		return false;
	if (!resumed && s[j] != '(')
		return false;
	j += resumed ? 9 : 1;
	std::size_t e = rparen(s, j);
	std::string args = s.substr(j, e == npos ? npos : e - j);
	if (resumed) {
		for (auto w = waiting.begin(); w != waiting.end(); ++w) {
			if (w->call == r.call &&
			    (w->pid == r.pid || w->pid.empty() ||
			     r.pid.empty())) {
				args = join(w->args, args);
				r.time = w->time;
				if (r.pid.empty())
					r.pid = w->pid;
				waiting.erase(w);
				break;
			}
		}
	}
	args = trim(args);
	bool cut = ends(args, unfinished);
	if (cut)
		args.erase(args.size() - std::strlen(unfinished));
	r.args = args;
	if (e == npos) {
		// Begun, or the trace ends in it.
		waiting.push_back(r);
		return true;
	}
	if (!result(s.substr(e + 1), r))
		return false;
	if (cut)
		add(r.note, "unfinished");
	put(r);
	return true;
}

} // namespace

int
main(int argc, char **argv)
{
	if (getopt(argc, argv, "") != -1) {
		std::cerr << "usage: tracecalls [file ...]\n";
		return 2;
	}
	std::ios::sync_with_stdio(false);
	out = "pid\ttime\tcall\tret\terr\tfd\tfile\targs\tnote\n";

	int status = 0;
	std::vector<std::string> names(argv + optind, argv + argc);
	if (names.empty())
		names.emplace_back("-");
	for (const auto &name : names) {
		std::ifstream f;
		if (name != "-") {
			f.open(name);
			if (!f)
				die(name + ": " + std::strerror(errno));
		}
		std::istream &in = name == "-" ? std::cin : f;
		// trace.PID, as strace -ff names its files.
		std::string self;
		std::size_t dot = name.rfind('.');
		if (dot != npos && dot + 1 < name.size() &&
		    name.find_first_not_of("0123456789", dot + 1) == npos)
			self = name.substr(dot + 1);
		long n = 0, bad = 0, first = 0;
		for (std::string l; std::getline(in, l);) {
			n++;
			// A last line with no newline was cut as strace wrote
			// it (ended, or at its file size bound): kept where it
			// reads, else left out, as no line of strace's own.
			if (!line(l, self) && !in.eof() && bad++ == 0)
				first = n;
		}
		flush("", true);
		if (bad > 0) {
			std::cerr << "tracecalls: " << name << ": " << bad
				  << " lines not understood, the first line "
				  << first << "\n";
			status = 1;
		}
	}
	std::cout << out;
	return status;
}
