// exe1 as the forkshare checks run it: the sample's reads, then what the
// kernel shows of the descriptors on wo.txt, its own and its parent's,
// while the parent is still waiting for it.
#include <dirent.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static struct stat wo;

// The value of one field of /proc/PID/fdinfo/FD, "?" if unreadable.
static std::string
field(const std::string &info, const char *name)
{
	FILE *f = std::fopen(info.c_str(), "r");
	if (!f)
		return "?";
	char line[256];
	std::string value = "?";
	size_t len = std::strlen(name);
	while (std::fgets(line, sizeof line, f))
		if (std::strncmp(line, name, len) == 0 && line[len] == ':') {
			char *v = std::strtok(line + len + 1, " \t\n");
			value = v ? v : "?";
			break;
		}
	std::fclose(f);
	return value;
}

// Each descriptor of process pid on wo.txt, with its offset and flags,
// and whether it is the very open file of my descriptor mine.
static void
list(pid_t pid, const char *whose, int mine)
{
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(dir.c_str());
	if (!d) {
		std::printf("exe1: %s descriptors: %s unreadable\n", whose,
			    dir.c_str());
		return;
	}
	while (struct dirent *e = readdir(d)) {
		int fd = std::atoi(e->d_name);
		struct stat st;
		if (e->d_name[0] == '.' ||
		    stat((dir + "/" + e->d_name).c_str(), &st) != 0 ||
		    st.st_dev != wo.st_dev || st.st_ino != wo.st_ino)
			continue;
		std::string info =
			"/proc/" + std::to_string(pid) + "/fdinfo/" + e->d_name;
		// Where kcmp is missing or refused, or mine is no descriptor,
		// nothing is said.
		long same =
			syscall(SYS_kcmp, pid, getpid(), KCMP_FILE, fd, mine);
		const char *which =
			same == 0  ? ", the open file I read through"
			: same > 0 ? ", not the open file I read through"
				   : "";
		std::printf("exe1: %s %d on wo.txt: pos %s, flags %s%s\n",
			    whose, fd, field(info, "pos").c_str(),
			    field(info, "flags").c_str(), which);
	}
	closedir(d);
}

int
main(int argc, char *argv[])
{
	// Each line goes out as it is made, in order with the errors.
	std::setvbuf(stdout, nullptr, _IONBF, 0);
	for (int i = 0; i < argc; i++)
		std::printf("exe1: argv[%d] = \"%s\"\n", i, argv[i]);
	if (argc != 2) {
		std::fprintf(stderr, "usage: exe1 descriptor\n");
		return 2;
	}

	int fd = std::atoi(argv[1]);
	off_t at = lseek(fd, 0, SEEK_CUR);
	char buf[4] = {};
	ssize_t n = read(fd, buf, sizeof buf - 1);
	if (n < 0)
		std::perror("exe1: read");
	else
		std::printf("exe1: read %zd bytes at offset %lld: %s\n", n,
			    static_cast<long long>(at), buf);

	if (stat("wo.txt", &wo) != 0) {
		std::perror("exe1: wo.txt");
		return 1;
	}
	list(getpid(), "my descriptor", -1);
	list(getppid(), "parent's descriptor", fd);
	return n < 0 ? 1 : 0;
}
