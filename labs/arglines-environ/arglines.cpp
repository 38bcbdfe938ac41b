#include <cstdio>

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		std::puts(argv[i]);
	std::putchar('\n');

	// The lines sit in the stdio buffer until now: only the flush shows
	// whether they reached standard output.
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	return 0;
}
