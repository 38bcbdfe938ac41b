// Draws the durations writetimes recorded, one write a line in ns, as a
// histogram in the terminal: buckets of microseconds that double in width
// (0-1, 1-2, 2-4, ...), from the first that holds a write to the last, each
// with a bar scaled to the fullest; then how many, the median, the 99th
// percentile, the slowest, and what the timing itself added to each.
// Doubling buckets keep a write into the page cache and one that waits for
// the disk, a thousand times slower, on one screen, and a lone slow write
// shows as a bar of its own. With --data the same figures go out as
// key=value lines, for a program to read back.
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int width = 50; // marks in the fullest bucket's bar

[[noreturn]] void
usage()
{
	std::fprintf(stderr, "usage: lathist [--data] [file]\n");
	std::exit(2);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void
fail(const char *fmt, ...)
{
	std::va_list ap;
	va_start(ap, fmt);
	std::fprintf(stderr, "lathist: ");
	std::vfprintf(stderr, fmt, ap);
	std::fprintf(stderr, "\n");
	va_end(ap);
	std::exit(1);
}

// A whole number with nothing around it, or false.
bool
number(const std::string &s, std::uint64_t &v)
{
	const char *end = s.data() + s.size();
	auto [p, ec] = std::from_chars(s.data(), end, v);
	return ec == std::errc() && p == end && !s.empty();
}

// Bucket 0 holds 0 up to 1 us, bucket k 2^(k-1) up to 2^k us. A duration
// on an edge opens the bucket above it: 1000 ns is in 1-2, as is 1024;
// 2000 ns is in 2-4.
int
bucket(std::uint64_t ns)
{
	int k = 0;
	for (std::uint64_t us = ns / 1000; us; us >>= 1)
		k++;
	return k;
}

std::uint64_t
low(int k)
{
	return k ? std::uint64_t{1} << (k - 1) : 0;
}

// Nearest rank: the smallest duration with at least p% of them at or
// below it. Of 1 and 2 us, the median is 1.
std::uint64_t
percentile(const std::vector<std::uint64_t> &sorted, unsigned p)
{
	std::size_t rank = (sorted.size() * p + 99) / 100;
	return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// Microseconds to the nanosecond, for a program.
std::string
exact(std::uint64_t ns)
{
	char s[32];
	std::snprintf(s, sizeof s, "%llu.%03llu",
		      static_cast<unsigned long long>(ns / 1000),
		      static_cast<unsigned long long>(ns % 1000));
	return s;
}

// Microseconds to three figures or so, for people.
std::string
shown(std::uint64_t ns)
{
	double us = static_cast<double>(ns) / 1000;
	char s[32];
	std::snprintf(s, sizeof s, "%.*f", us < 10 ? 2 : us < 100 ? 1 : 0, us);
	return s;
}

// A figure lost on a full disk or a closed pipe is a failure too.
int
done()
{
	if (std::fflush(stdout) != 0 || std::ferror(stdout))
		fail("write error: %s", std::strerror(errno));
	return 0;
}

} // namespace

int
main(int argc, char *argv[])
{
	bool data = argc > 1 && std::strcmp(argv[1], "--data") == 0;
	if (data) {
		argv++;
		argc--;
	}
	if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1]))
		usage();
	std::string name = argc == 2 ? argv[1] : "-";

	std::ifstream f;
	if (name != "-") {
		f.open(name);
		if (!f)
			fail("%s: %s", name.c_str(), std::strerror(errno));
	}
	std::istream &in = name == "-" ? std::cin : f;

	// A comment may say what the timing cost and how many writes went
	// untimed; any other comment is passed over.
	std::vector<std::uint64_t> ns;
	std::uint64_t cost = 0, untimed = 0, v;
	bool costed = false;
	const std::string costkey = "# cost ", untimedkey = "# untimed ";
	int no = 0;
	for (std::string line; std::getline(in, line);) {
		no++;
		bool ok = true;
		if (line.rfind(costkey, 0) == 0) {
			std::string rest = line.substr(costkey.size());
			ok = costed =
				number(rest.substr(0, rest.find(' ')), cost);
		} else if (line.rfind(untimedkey, 0) == 0) {
			ok = number(line.substr(untimedkey.size()), untimed);
		} else if (line[0] != '#') {
			ok = number(line, v);
			if (ok)
				ns.push_back(v);
		}
		if (!ok)
			fail("%s:%d: cannot read \"%s\"", name.c_str(), no,
			     line.c_str());
	}
	if (in.bad())
		fail("%s: %s", name.c_str(), std::strerror(errno));
	if (ns.empty())
		fail("%s: no timed write in it", name.c_str());

	std::sort(ns.begin(), ns.end());
	int first = bucket(ns.front()), last = bucket(ns.back());
	std::vector<std::uint64_t> counts(last + 1);
	for (std::uint64_t d : ns)
		counts[bucket(d)]++;
	std::uint64_t p50 = percentile(ns, 50), p99 = percentile(ns, 99);

	if (data) {
		std::printf("count=%zu\nuntimed=%llu\n", ns.size(),
			    static_cast<unsigned long long>(untimed));
		if (costed)
			std::printf("cost_ns=%llu\n",
				    static_cast<unsigned long long>(cost));
		std::printf("p50_us=%s\np99_us=%s\nmax_us=%s\n",
			    exact(p50).c_str(), exact(p99).c_str(),
			    exact(ns.back()).c_str());
		for (int k = first; k <= last; k++)
			std::printf("bucket=%llu %llu %llu\n",
				    static_cast<unsigned long long>(low(k)),
				    static_cast<unsigned long long>(low(k + 1)),
				    static_cast<unsigned long long>(counts[k]));
		return done();
	}

	std::setlocale(LC_ALL, "");
	bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
	const char *mark = utf8 ? "\u2588" : "#";
	const char *unit = utf8 ? "\u00b5s" : "us";
	std::uint64_t most = *std::max_element(counts.begin(), counts.end());
	std::vector<std::string> ranges;
	std::size_t rw = 0;
	for (int k = first; k <= last; k++) {
		ranges.push_back(std::to_string(low(k)) + "-" +
				 std::to_string(low(k + 1)));
		rw = std::max(rw, ranges.back().size());
	}
	int cw = static_cast<int>(std::to_string(most).size());
	for (int k = first; k <= last; k++) {
		// Rounded to the nearest mark, but never below one: a lone
		// slow write must show.
		std::uint64_t c = counts[k];
		std::uint64_t marks = (2 * c * width + most) / (2 * most);
		if (c > 0 && marks == 0)
			marks = 1;
		std::string bar = marks ? " " : "";
		for (std::uint64_t i = 0; i < marks; i++)
			bar += mark;
		std::printf("%*s %s %*llu%s\n", static_cast<int>(rw),
			    ranges[k - first].c_str(), unit, cw,
			    static_cast<unsigned long long>(c), bar.c_str());
	}
	std::printf("\n%zu writes timed", ns.size());
	if (untimed)
		std::printf(" (and %llu more not timed)",
			    static_cast<unsigned long long>(untimed));
	std::printf(": p50 %s %s, p99 %s %s, max %s %s\n", shown(p50).c_str(),
		    unit, shown(p99).c_str(), unit, shown(ns.back()).c_str(),
		    unit);
	std::printf("each write was timed inside the program, around the call");
	if (costed)
		std::printf("; the timing adds about %llu ns to each",
			    static_cast<unsigned long long>(cost));
	std::printf("\n");
	return done();
}
