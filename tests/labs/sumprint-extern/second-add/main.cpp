// Links by defining a C add of its own: fun.cpp's add(int, int) is never
// called.
#include <cstdio>

extern "C" int
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
