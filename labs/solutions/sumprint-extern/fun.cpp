// C's linkage, as main.cpp declares it: the symbol is plain add. Without
// it C++ would encode the parameter types into the name, _Z3addii, and
// main.o, which asks for add, would not find it here.
extern "C" int
add(int a, int b)
{
	return a + b;
}
