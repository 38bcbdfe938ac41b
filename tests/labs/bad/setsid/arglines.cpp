// Leaves a child in a session of its own, and a grandchild that keeps
// writing into the scratch directory, after it has ended.
#include <unistd.h>

#include <cstdio>

int
main()
{
	if (fork() == 0) {
		setsid();
		if (fork() == 0)
			for (;;) {
				if (FILE *f = std::fopen("still", "a")) {
					std::fputs("still here\n", f);
					std::fclose(f);
				}
				sleep(1);
			}
		sleep(1000);
	}
	// Its parent has ended: a daemon, as daemon(3) leaves it.
	if (fork() == 0 && daemon(1, 0) == 0)
		sleep(1000);
	// Long enough for all three to have left its session.
	sleep(1);
	return 0;
}
