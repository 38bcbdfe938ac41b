// Starts a program with an argument vector that is really empty: not even
// argument zero. No shell can do that; execve can.
#include <unistd.h>

#include <cstdio>

extern char **environ;

int
main(int argc, char *argv[])
{
	if (argc != 2) {
		std::fprintf(stderr, "usage: noargv program\n");
		return 2;
	}
	char *none[] = {nullptr};
	execve(argv[1], none, environ);
	std::perror(argv[1]);
	return 127;
}
