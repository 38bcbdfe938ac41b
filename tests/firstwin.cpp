// The real firstwin in a real X server of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "run.h"
#include "scratch.h"

using support::bin;

namespace {

// A private Xvfb on the first free display, ended with the test.
class xserver
{
public:
	std::string display;

	xserver()
	{
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) < 0)
			throw std::runtime_error("pipe");
		support::options o("/usr/bin/Xvfb",
				   {"Xvfb", "-displayfd", "1", "-nolisten",
				    "tcp", "-screen", "0", "800x600x24"});
		o.out = fds[1];
		o.hold = true;
		x_ = std::make_unique<support::process>(o);
		close(fds[1]);
		for (char c; read(fds[0], &c, 1) == 1 && c != '\n';)
			display += c;
		close(fds[0]);
		if (display.empty())
			throw std::runtime_error("Xvfb did not start");
		display = ":" + display;
	}
	~xserver()
	{
		kill(x_->pid(), SIGTERM);
		x_->wait();
	}

private:
	std::unique_ptr<support::process> x_;
};

struct desktop {
	xserver x;
	support::scratch runtime;

	std::vector<std::string> env(bool display = true) const
	{
		// A widgets window is drawn without OpenGL: keeping Qt's GL
		// integration out keeps the machine's GL driver out too, and
		// with it whatever that driver leaks or prints.
		std::vector<std::string> e{"XDG_RUNTIME_DIR=" + runtime.path(),
					   "PATH=/usr/bin:/bin",
					   "QT_XCB_GL_INTEGRATION=none"};
		if (display)
			e.push_back("DISPLAY=" + x.display);
		return e;
	}
	support::result tool(const std::string &prog,
			     std::vector<std::string> argv) const
	{
		support::options o(prog, std::move(argv));
		o.env = env();
		return support::run(o);
	}
	// Waits until firstwin's top-level window is mapped, and names it.
	std::string window() const
	{
		auto r = tool("/usr/bin/xdotool",
			      {"xdotool", "search", "--sync", "--onlyvisible",
			       "--name", "^firstwin$"});
		std::string id = r.out.substr(0, r.out.find('\n'));
		if (id.empty())
			throw std::runtime_error("no firstwin window: " +
						 r.err);
		return id;
	}
	std::map<std::string, int> geometry(const std::string &w) const
	{
		auto r = tool("/usr/bin/xdotool",
			      {"xdotool", "getwindowgeometry", "--shell", w});
		std::map<std::string, int> g;
		std::istringstream in(r.out);
		for (std::string line; std::getline(in, line);)
			if (auto eq = line.find('='); eq != std::string::npos)
				g[line.substr(0, eq)] =
					std::stoi(line.substr(eq + 1));
		return g;
	}
};

} // namespace

TEST(firstwin, shows_its_window_and_ends_with_0_however_it_is_closed)
{
	desktop d;
	struct {
		const char *way;
		bool argdisplay; // the display named on the command line, for
				 // the toolkit
		void (*close)(const desktop &, const std::string &);
	} ways[] = {
		{"window manager's close request", false,
		 [](const desktop &d, const std::string &w) {
			 d.tool(support::fixture("wmclose"), {"wmclose", w});
		 }},
		{"Ctrl+Q", true,
		 [](const desktop &d, const std::string &w) {
			 d.tool("/usr/bin/xdotool",
				{"xdotool", "windowfocus", w});
			 d.tool("/usr/bin/xdotool",
				{"xdotool", "key", "ctrl+q"});
		 }},
		{"click on Quit", false,
		 [](const desktop &d, const std::string &w) {
			 // The button spans the bottom of the window, inside
			 // the layout's margin.
			 auto g = d.geometry(w);
			 d.tool("/usr/bin/xdotool",
				{"xdotool", "mousemove",
				 std::to_string(g["X"] + g["WIDTH"] / 2),
				 std::to_string(g["Y"] + g["HEIGHT"] - 25),
				 "click", "1"});
		 }},
	};
	bool shot = false;
	for (const auto &w : ways) {
		SCOPED_TRACE(w.way);
		support::options o(bin("firstwin"), {"firstwin"});
		o.env = d.env(!w.argdisplay);
		if (w.argdisplay)
			o.argv = {"firstwin", "-display", d.x.display};
		support::process p(o);
		std::string id = d.window();
		if (!shot) {
			auto r = d.tool("/usr/bin/import",
					{"import", "-window", id, SHOT});
			ASSERT_EQ(r.status, 0) << r.err;
			r = d.tool("/usr/bin/identify",
				   {"identify", "-format", "%k", SHOT});
			EXPECT_GT(std::stoi(r.out), 2)
				<< "the window looks blank";
			shot = true;
		}
		w.close(d, id);
		auto r = p.wait();
		EXPECT_FALSE(r.timedout);
		EXPECT_EQ(r.status, 0) << r.err;
	}
}

TEST(firstwin, takes_toolkit_options_from_its_command_line)
{
	// With no display at all, only the toolkit's own -platform option
	// lets it start.
	support::scratch runtime;
	support::options o(bin("firstwin"),
			   {"firstwin", "-platform", "offscreen"});
	o.env = {"XDG_RUNTIME_DIR=" + runtime.path()};
	support::process p(o);
	std::this_thread::sleep_for(std::chrono::seconds(1));
	kill(p.pid(), SIGTERM);
	auto r = p.wait();
	EXPECT_EQ(r.signal, SIGTERM) << "it ended by itself: " << r.err;
}
