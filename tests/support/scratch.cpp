#include "scratch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace support {

scratch::scratch()
{
	const char *tmp = std::getenv("TMPDIR");
	std::string t =
		std::string(tmp && *tmp ? tmp : "/tmp") + "/fdlab.XXXXXX";
	if (!mkdtemp(t.data()))
		throw std::runtime_error("mkdtemp: " +
					 std::string(std::strerror(errno)));
	path_ = t;
}

scratch::~scratch()
{
	std::error_code ec;
	std::filesystem::remove_all(path_, ec);
}

std::string
scratch::operator/(const std::string &name) const
{
	return path_ + "/" + name;
}

void
scratch::put(const std::string &name, const std::string &bytes,
	     mode_t mode) const
{
	std::ofstream(*this / name, std::ios::binary) << bytes;
	chmod((*this / name).c_str(), mode);
}

std::string
scratch::get(const std::string &name) const
{
	std::ifstream f(*this / name, std::ios::binary);
	if (!f)
		throw std::runtime_error("cannot read " + name);
	return {std::istreambuf_iterator<char>(f), {}};
}

} // namespace support
