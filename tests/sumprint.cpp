#include <gtest/gtest.h>

#include "run.h"

using support::bin;
using support::run;

TEST(sumprint, prints_one_line_whatever_it_is_given)
{
	struct {
		const char *what;
		std::vector<std::string> argv;
		std::string input;
		int in;
	} cases[] = {
		{"nothing", {"sumprint"}, "", support::capture},
		{"arguments and input",
		 {"sumprint", "1", "2"},
		 "9 9\n",
		 support::capture},
		{"standard input closed", {"sumprint"}, "", support::closed},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		support::options o{bin("sumprint"), c.argv};
		o.input = c.input;
		o.in = c.in;
		auto r = run(o);
		EXPECT_EQ(r.out, "x is 7\n");
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}
