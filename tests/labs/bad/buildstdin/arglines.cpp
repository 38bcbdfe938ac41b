// A source that reads the compiler's standard input.
#include "/dev/stdin"

int
main()
{
	return 0;
}
