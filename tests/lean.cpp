// The command-line programs depend at run time on the C library alone.
#include <gtest/gtest.h>

#include <sstream>

#include "run.h"

TEST(lean, command_line_programs_need_only_the_c_library)
{
	if (support::sanitized)
		GTEST_SKIP()
			<< "a sanitized build needs the sanitizer runtimes too";
	for (std::string prog : {"forkshare", "fcntlcopy", "oflagcopy",
				 "relaxcopy", "arglines", "sumprint"}) {
		SCOPED_TRACE(prog);
		auto r = support::run({"/usr/bin/readelf",
				       {"readelf", "-d", support::bin(prog)}});
		ASSERT_EQ(r.status, 0) << r.err;
		std::vector<std::string> needed;
		std::istringstream in(r.out);
		for (std::string line; std::getline(in, line);)
			if (line.find("(NEEDED)") != std::string::npos)
				needed.push_back(line.substr(line.find('[')));
		EXPECT_EQ(needed, std::vector<std::string>{"[libc.so.6]"});
	}
}
