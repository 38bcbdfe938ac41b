#include <cstdio>

// Defined in fun.cpp; nothing but this declaration tells the compiler of it.
int add(int a, int b);

int
main()
{
	int x = add(3, 4);
	std::printf("x is %d\n", x > 0 ? 7 : x);

	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	return 0;
}
