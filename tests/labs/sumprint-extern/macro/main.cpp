// add as a macro: no call is left for the linker to join.
#include <cstdio>

#define add(a, b) ((a) + (b))

int
main()
{
	int x = add(3, 4);
	std::printf("x is %d\n", x);
	return 0;
}
