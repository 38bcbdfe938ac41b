/* The C program arglines is measured against: the same calls, in C. */
#include <stdio.h>

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		puts(argv[i]);
	putchar('\n');
	return fflush(stdout) == EOF ? 1 : 0;
}
