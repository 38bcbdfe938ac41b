#include <gtest/gtest.h>

#include "run.h"

using support::bin;
using support::run;

TEST(arglines, prints_each_argument_then_an_empty_line)
{
	struct {
		const char *what;
		std::vector<std::string> argv;
		std::string out;
	} cases[] = {
		{"name only", {"arglines"}, "arglines\n\n"},
		{"the name the caller gave", {"any name"}, "any name\n\n"},
		{"several", {"arglines", "a", "b c"}, "arglines\na\nb c\n\n"},
		{"empty argument", {"arglines", "", "x"}, "arglines\n\nx\n\n"},
		{"newline inside",
		 {"arglines", "one\ntwo"},
		 "arglines\none\ntwo\n\n"},
		{"not UTF-8",
		 {"arglines", "\xff\xfe caf\xe9"},
		 "arglines\n\xff\xfe caf\xe9\n\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		auto r = run({bin("arglines"), c.argv});
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(r.status, 0);
	}
}

TEST(arglines, output_larger_than_the_stdio_buffer_arrives_whole)
{
	std::vector<std::string> argv{"arglines"};
	std::string want = "arglines\n";
	for (int i = 0; i < 20000; i++) {
		argv.push_back(std::to_string(i));
		want += std::to_string(i) + "\n";
	}
	auto r = run({bin("arglines"), argv});
	EXPECT_EQ(r.out, want + "\n");
	EXPECT_EQ(r.status, 0);
}

TEST(arglines, empty_argument_vector)
{
	// Since Linux 5.18 a program started with an empty vector is handed
	// one empty argument instead, so it cannot miss argument zero.
	std::string want = support::kernel_at_least(5, 18) ? "\n\n" : "\n";
	auto r = run({bin("arglines"), {}});
	EXPECT_EQ(r.out, want);
	EXPECT_EQ(r.status, 0);
}
