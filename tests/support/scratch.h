// A fresh directory for one test, removed with everything in it.
#pragma once

#include <sys/types.h>

#include <string>

namespace support {

class scratch
{
public:
	scratch();
	~scratch();
	scratch(const scratch &) = delete;
	scratch &operator=(const scratch &) = delete;

	const std::string &path() const { return path_; }
	std::string operator/(const std::string &name) const;
	void put(const std::string &name, const std::string &bytes,
		 mode_t mode = 0644) const;
	std::string get(const std::string &name) const;

private:
	std::string path_;
};

} // namespace support
