// Prints without end.
#include <cstdio>

int
main()
{
	for (;;)
		std::puts("x");
}
