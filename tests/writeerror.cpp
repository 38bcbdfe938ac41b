// A program whose report cannot reach standard output must say so and fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "run.h"

using support::bin;

TEST(writeerror, lost_report_is_a_failure)
{
	int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(full, 0);
	struct {
		const char *where;
		int out;
		std::string err;
	} places[] = {
		{"full device", full, "write error: No space left on device\n"},
		{"closed", support::closed,
		 "write error: Bad file descriptor\n"},
	};
	for (std::string prog : {"arglines", "sumprint"})
		for (const auto &p : places) {
			SCOPED_TRACE(prog + " into " + p.where);
			support::options o{bin(prog), {prog}};
			o.out = p.out;
			auto r = support::run(o);
			EXPECT_EQ(r.err, p.err);
			EXPECT_EQ(r.status, 1);
		}
	close(full);
}
