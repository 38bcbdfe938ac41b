// The solution, and a process it leaves running in a session of its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

int
main()
{
	int fd = open("wo.txt", O_RDONLY);
	std::printf("%d\n", fd);

	// exe1 must find the descriptor still open after the exec.
	int flags = fcntl(fd, F_GETFD);
	fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);

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

		std::array<char, sizeof "-2147483648"> text{};
		std::snprintf(text.data(), text.size(), "%d", fd);
		execl("./exe1", "exe1", text.data(),
		      static_cast<char *>(nullptr));
		std::perror("ececl fail:");
		_exit(127);
	}

	// A process of its own, in a session of its own, left running.
	if (fork() == 0) {
		setsid();
		sleep(1000);
		_exit(0);
	}

	int status;
	bool childok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
		       WEXITSTATUS(status) == 0;

	// A second open makes a second open file description, with an offset
	// of its own: it starts at 0, wherever the child and exe1 left the
	// one they share.
	int own = open("wo.txt", O_RDONLY);
	std::array<char, 20> buf{};
	ssize_t n = read(own, buf.data(), 19);
	std::printf("parent, bytes:%zd,%s\n\n", n, buf.data());

	if (std::fflush(stdout) == EOF || std::ferror(stdout)) {
		std::perror("write error");
		return 1;
	}
	// 0 only if every step worked, in the child and exe1 too.
	return fd >= 0 && own >= 0 && childok && n >= 0 ? 0 : 1;
}
