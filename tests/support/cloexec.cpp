// LD_PRELOAD shim: every open() of the program gets O_CLOEXEC, as if the
// program had asked for it.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>

extern "C" int
open(const char *path, int flags, ...)
{
	using openfn = int (*)(const char *, int, ...);
	static auto real = reinterpret_cast<openfn>(dlsym(RTLD_NEXT, "open"));
	mode_t mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list ap;
		va_start(ap, flags);
		mode = va_arg(ap, mode_t);
		va_end(ap);
	}
	return real(path, flags | O_CLOEXEC, mode);
}
