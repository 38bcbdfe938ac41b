// A private add in main.cpp: it links, and fun.cpp's is left unused.
#include <cstdio>

static int
add(int a, int b)
{
	return a + b;
}

int
main()
{
	int x = add(3, 4);
	std::printf("x is %d\n", x);
	return 0;
}
