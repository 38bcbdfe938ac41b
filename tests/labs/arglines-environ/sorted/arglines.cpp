// The strings in an order of its own, sorted.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The strings the kernel put after the argument vector, as execve was
// given them.
extern char **environ;

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		std::puts(argv[i]);
	std::putchar('\n');
	std::vector<std::string> env;
	for (char **e = environ; *e; e++)
		env.emplace_back(*e);
	std::sort(env.begin(), env.end());
	for (const auto &s : env)
		std::puts(s.c_str());
	std::putchar('\n');

	// The lines sit in the stdio buffer until now: only the flush shows
	// whether they reached standard output.
	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	return 0;
}
