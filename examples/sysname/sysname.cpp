// Names a system call by its number, or numbers it by its name, as this
// machine's kernel headers have them: /proc/PID/syscall gives numbers,
// people and strace give names. With no argument, the whole table, one
// "NUMBER NAME" a line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct call {
	long number;
	const char *name;
};

constexpr call calls[] = {
#include "calls.inc"
};

} // namespace

int
main(int argc, char *argv[])
{
	if (argc == 1) {
		for (const call &c : calls)
			std::printf("%ld %s\n", c.number, c.name);
		return 0;
	}
	int status = 0;
	for (int i = 1; i < argc; i++) {
		char *end;
		long n = std::strtol(argv[i], &end, 10);
		bool bynumber = *argv[i] != '\0' && *end == '\0';
		const call *found = nullptr;
		for (const call &c : calls)
			if (bynumber ? c.number == n
				     : std::strcmp(c.name, argv[i]) == 0)
				found = &c;
		if (!found) {
			std::fprintf(stderr, "sysname: no system call %s\n",
				     argv[i]);
			status = 1;
			continue;
		}
		if (bynumber)
			std::printf("%s\n", found->name);
		else
			std::printf("%ld\n", found->number);
	}
	return status;
}
