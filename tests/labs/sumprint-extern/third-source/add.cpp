// A C add in a source of its own, for main.cpp's declaration; fun.cpp's
// add(int, int) is left unused.
extern "C" int
add(int a, int b)
{
	return a + b;
}
