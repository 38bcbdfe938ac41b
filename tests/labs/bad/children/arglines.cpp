// Leaves a child behind, sleeping long after the check is done with it.
#include <unistd.h>

int
main()
{
	if (fork() == 0)
		sleep(1000);
	return 0;
}
