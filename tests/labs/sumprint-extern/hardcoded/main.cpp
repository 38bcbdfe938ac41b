// Calls add, but prints a 7 of its own.
#include <cstdio>

int add(int a, int b);

int
main()
{
	add(3, 4);
	std::printf("x is %d\n", 7);
	return 0;
}
