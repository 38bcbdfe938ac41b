// A stdio buffer of 64 KiB gathers the pieces into large writes, on a
// stream fopen opened without O_SYNC.
#include <cstdio>
#include <cstdlib>

int
main()
{
	std::FILE *f = std::fopen("./out", "r+");
	if (!f) {
		std::perror("Can't open ./out");
		std::exit(1);
	}
	static char big[65536];
	std::setvbuf(f, big, _IOFBF, sizeof big);

	char buf[512];
	std::size_t n;
	while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
		if (std::fwrite(buf, 1, n, f) != n) {
			std::fputs("write error\n", stderr);
			std::exit(1);
		}
	if (std::fclose(f) == EOF) {
		std::fputs("write error\n", stderr);
		std::exit(1);
	}
	return 0;
}
