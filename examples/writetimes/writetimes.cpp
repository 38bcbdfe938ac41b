// Times each write(2) a program makes, from inside it. Loaded with
// LD_PRELOAD, this write stands in front of the C library's: it reads the
// monotonic clock, calls the C library's write, reads the clock again and
// keeps the difference. A tracer would time the calls from outside, by
// stopping the program at each one (strace -T): the stop adds tens of
// microseconds to every call, more than a write into the page cache costs
// whole, and the figures would be mostly the tracer's own. Here the timing
// adds two reads of the clock, which the vDSO answers without entering the
// kernel, and the library measures what that costs and says so.
//
// WRITETIMES names the file that gets the durations when the program ends;
// unset, nothing is timed. WRITETIMES_FD names the one descriptor whose
// writes are timed; unset, every one but 2, where the program's complaints
// go. Only calls to write itself are seen: stdio reaches the kernel by a
// call inside the C library, which no library loaded in front can stand in
// for.
//
// The file: comment lines starting with #, among them "# cost NS", then one
// line a timed write, its duration in ns, in the order of the calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using writefn = ssize_t (*)(int, const void *, size_t);

// Set aside before the program runs, so that keeping a duration allocates
// nothing. Its 8 MiB are reserved, not used: the kernel gives a page only
// when the first duration in it is stored.
std::array<std::int64_t, 1 << 20> times;
// Each call takes a slot of its own even if two threads write at once;
// the increment comes after the second reading of the clock, outside what
// is measured. Calls beyond the array are counted only.
std::atomic<std::size_t> taken;

std::array<char, 4096> file; // WRITETIMES, kept: the program may unset it
int only = -1;               // WRITETIMES_FD, or -1 for all but 2
bool badfd;                  // WRITETIMES_FD names no descriptor
bool on;
long long cost;

writefn
real()
{
	static auto f = reinterpret_cast<writefn>(dlsym(RTLD_NEXT, "write"));
	return f;
}

std::int64_t
ns(const timespec &t)
{
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// What the timing adds to each duration it records: the end of the first
// reading of the clock and the start of the second, which lie between the
// two instants. That is the time between two readings back to back, taken
// as the median of 10,000 tries, which leaves out those an interrupt fell
// into. (The program pays about twice that a call: both readings whole.)
long long
measure()
{
	static std::array<std::int64_t, 10000> gaps;
	for (std::int64_t &g : gaps) {
		timespec a, b;
		clock_gettime(CLOCK_MONOTONIC, &a);
		clock_gettime(CLOCK_MONOTONIC, &b);
		g = ns(b) - ns(a);
	}
	auto mid = gaps.begin() + gaps.size() / 2;
	std::nth_element(gaps.begin(), mid, gaps.end());
	return *mid;
}

__attribute__((constructor)) void
start()
{
	const char *f = std::getenv("WRITETIMES");
	if (!f || !*f || std::strlen(f) >= file.size())
		return;
	std::strcpy(file.data(), f);
	if (const char *fd = std::getenv("WRITETIMES_FD")) {
		const char *end = fd + std::strlen(fd);
		auto [p, ec] = std::from_chars(fd, end, only);
		// A descriptor it cannot read times nothing; the file says why.
		badfd = ec != std::errc() || p != end || p == fd || only < 0;
		if (badfd)
			return;
	}
	cost = measure();
	on = true;
}

// The copy programs end with exit(), which runs the destructors of the
// libraries loaded, this one among them. A program that ends by _exit() or
// by a signal leaves no file; a write made after this (by stdio's final
// flush, say) is not seen, as stdio's writes never are. The file is
// written through a mapping, not with write(2): the program's count of
// write calls (/proc/PID/io, as iowatch reads it) stays its own.
__attribute__((destructor)) void
finish()
{
	if (!file[0] || !real())
		return;
	int fd =
		open(file.data(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
	if (fd < 0)
		return;
	std::size_t all = taken.load(), kept = std::min(all, times.size());
	// Room for the comments and for each duration, 20 digits at most.
	std::size_t room = 512 + kept * 21;
	void *map = MAP_FAILED;
	if (ftruncate(fd, static_cast<off_t>(room)) == 0)
		map = mmap(nullptr, room, PROT_WRITE, MAP_SHARED, fd, 0);
	if (map == MAP_FAILED) {
		close(fd);
		return;
	}
	char *buf = static_cast<char *>(map);
	std::size_t n = 0;
	if (badfd)
		n = std::snprintf(buf, room,
				  "# WRITETIMES_FD is no descriptor: "
				  "nothing was timed\n");
	else
		n = std::snprintf(buf, room,
				  "# writetimes: one write a line, its "
				  "duration in ns; cost: the ns of each "
				  "that are the timing's own, the median "
				  "gap between two back-to-back clock "
				  "readings\n"
				  "# cost %lld\n",
				  cost);
	if (all > kept)
		n += std::snprintf(buf + n, room - n, "# untimed %zu\n",
				   all - kept);
	for (std::size_t i = 0; i < kept; i++)
		n += std::snprintf(buf + n, room - n, "%lld\n",
				   static_cast<long long>(times[i]));
	munmap(map, room);
	if (ftruncate(fd, static_cast<off_t>(n)) < 0) {
	}
	close(fd);
}

} // namespace

extern "C" ssize_t
write(int fd, const void *buf, size_t count)
{
	writefn next = real();
	if (!next) {
		errno = ENOSYS;
		return -1;
	}
	if (!on || (only < 0 ? fd == 2 : fd != only))
		return next(fd, buf, count);
	// The program sees errno as the C library's write left it: as it
	// was before the call, or the call's error.
	int e = errno;
	timespec a, b;
	clock_gettime(CLOCK_MONOTONIC, &a);
	errno = e;
	ssize_t r = next(fd, buf, count);
	e = errno;
	clock_gettime(CLOCK_MONOTONIC, &b);
	std::size_t i = taken.fetch_add(1, std::memory_order_relaxed);
	if (i < times.size())
		times[i] = ns(b) - ns(a);
	errno = e;
	return r;
}
