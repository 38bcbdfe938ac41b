// No more than 64 strings, kept in a table first.
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
	const char *env[64];
	int n = 0;
	for (char **e = environ; *e && n < 64; e++)
		env[n++] = *e;
	for (int i = 0; i < n; i++)
		std::puts(env[i]);
	std::putchar('\n');

	// The lines sit in the stdio buffer until now: only the flush shows
	// whether they reached standard output.
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	return 0;
}
