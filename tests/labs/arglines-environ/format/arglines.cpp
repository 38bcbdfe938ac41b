// Each string given to printf as its format.
#include <cstdio>

// The strings the kernel put after the argument vector, as execve was
// given them.
extern char **environ;

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		std::puts(argv[i]);
	std::putchar('\n');
	for (char **e = environ; *e; e++)
		std::printf(*e), std::putchar('\n');
	std::putchar('\n');

	// The lines sit in the stdio buffer until now: only the flush shows
	// whether they reached standard output.
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	return 0;
}
