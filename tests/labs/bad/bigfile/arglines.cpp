// Writes a file without end, 1 MiB at a time.
#include <cstdio>
#include <vector>

int
main()
{
	std::vector<char> mib(1 << 20, 'x');
	FILE *f = std::fopen("big", "w");
	while (f && std::fwrite(mib.data(), 1, mib.size(), f) == mib.size()) {
	}
	return 0;
}
