// The program forkshare's child becomes: it reads a few bytes through the
// descriptor whose number it is given, and says where it found the offset.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

int
main(int argc, char *argv[])
{
	for (int i = 0; i < argc; i++)
		std::printf("exe1: argv[%d] = \"%s\"\n", i, argv[i]);
	// On a pipe these lines wait in the stdio buffer, while what goes wrong
	// below is told at once on standard error: out with them first.
	std::fflush(stdout);
	if (argc != 2) {
		std::fprintf(stderr, "usage: exe1 descriptor\n");
		return 2;
	}

	int fd = std::atoi(argv[1]);
	off_t at = lseek(fd, 0, SEEK_CUR);
	std::array<char, 4> buf{};
	ssize_t n = read(fd, buf.data(), buf.size() - 1);
	if (n < 0) {
		std::perror("exe1: read");
		return 1;
	}
	std::printf("exe1: read %zd bytes at offset %lld: %s\n", n,
		    static_cast<long long>(at), buf.data());
	return 0;
}
