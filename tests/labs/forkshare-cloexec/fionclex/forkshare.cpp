// FIONCLEX in the child clears the flag there alone.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

int
main()
{
	// Close-on-exec from the open on: a program this one starts gets the
	// descriptor only if it is meant to.
	int fd = open("wo.txt", O_RDONLY | O_CLOEXEC);
	std::printf("%d\n", fd);

	// The child inherits whatever sits in the stdio buffer; flushed now,
	// the number is printed once and not again by the child.
	std::fflush(stdout);
	pid_t pid = fork();
	if (pid < 0) {
		std::perror("fork");
		return 1;
	}

	if (pid == 0) {
		std::array<char, 2> buf{};
		ssize_t n = read(fd, buf.data(), 1);
		std::printf("child, bytes:%zd,%s\n\n", n, buf.data());
		// exec throws the stdio buffer away: write the line out now.
		std::fflush(stdout);

		// The child's own copy of the descriptor loses close-on-exec.
		ioctl(fd, FIONCLEX);

		std::array<char, sizeof "-2147483648"> text{};
		std::snprintf(text.data(), text.size(), "%d", fd);
		execl("./exe1", "exe1", text.data(),
		      static_cast<char *>(nullptr));
		std::perror("ececl fail:");
		_exit(127);
	}

	int status;
	bool childok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
		       WEXITSTATUS(status) == 0;

	// Shared offset: this read starts where the child and exe1 stopped.
	std::array<char, 20> buf{};
	ssize_t n = read(fd, buf.data(), 19);
	std::printf("parent, bytes:%zd,%s\n\n", n, buf.data());

	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	// 0 only if every step worked, in the child and exe1 too.
	return fd >= 0 && childok && n >= 0 ? 0 : 1;
}
