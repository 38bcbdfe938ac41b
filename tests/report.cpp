// report: the page made from a directory of figures as the tour writes
// them, read back whole by an XML parser and, where it is installed, opened
// in a real browser; and pages of two machines set side by side.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include "run.h"
#include "scratch.h"

extern char **environ;

namespace fs = std::filesystem;

using support::tool;

namespace {

const std::vector<std::string> sections{"machine",     "copies",   "latency",
					"descriptors", "programs", "firstwin",
					"labs"};

support::result
run(const std::vector<std::string> &args)
{
	std::vector<std::string> argv{"report"};
	argv.insert(argv.end(), args.begin(), args.end());
	return support::run(support::options(support::bin("report"), argv));
}

// One machine's figures, as the tour writes them.
struct copy {
	std::string label, sync, calls, ms, mscall, writes;
};

struct machine {
	std::string host = "alpha", kernel = "6.1.0-28-amd64", cpu = "AMD EPYC",
		    fs = "ext4", readit = "O_SYNC makes each write wait.";
	std::vector<copy> copies{
		{"fcntlcopy", "off", "512", "9.1", "0.018", "0"},
		{"oflagcopy", "on", "512", "171.0", "0.334", "1567"},
		{"relaxcopy > out", "off", "512", "10.9", "0.021", "-"},
		{"relaxcopy > O_SYNC out", "on", "512", "174.4", "0.341",
		 "1567"},
	};
	// A lone slow write far from the rest, empty buckets between.
	std::string slow = "label=oflagcopy, O_SYNC\nsync=on\ncount=512\n"
			   "untimed=0\ncost_ns=27\np50_us=300\np99_us=700\n"
			   "max_us=9000\nbucket=128 256 11\nbucket=256 512 "
			   "400\nbucket=512 1024 100\nbucket=1024 2048 0\n"
			   "bucket=2048 4096 0\nbucket=4096 8192 0\n"
			   "bucket=8192 16384 1\n";
	std::string fast = "label=fcntlcopy\nsync=off\ncount=512\nuntimed=3\n"
			   "cost_ns=27\np50_us=12\np99_us=30\nmax_us=41\n"
			   "bucket=8 16 300\nbucket=16 32 197\n"
			   "bucket=32 64 12\n";
	std::string title = "forkshare and exe1: one description";
	std::string fdmap =
		"{\"processes\": [{\"pid\": 41, \"name\": \"forkshare\", "
		"\"fds\": [3]}], \"descriptions\": [{\"id\": 1, \"pos\": 4, "
		"\"flags\": [\"O_RDONLY\"], \"path\": \"/tmp/wo.txt\", "
		"\"known\": true, \"held\": [{\"pid\": 41, \"fd\": 3, "
		"\"cloexec\": false}]}]}";
	std::string findings = "forkshare   one offset, three readers\n"
			       "firstwin    asleep in poll\n";
	std::string labs = "solved\targlines-environ\tprint the environment\n"
			   "-\tsumprint-extern\tagree on add's name\n"
			   "changed since solved\tforkshare-offset\tan "
			   "offset of its own\n";
};

// A figure as dot writes it, declaration and DOCTYPE included.
const std::string handsvg =
	"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
	"<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\"\n"
	" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">\n"
	"<!-- Title: fds Pages: 1 -->\n"
	"<svg width=\"80pt\" height=\"60pt\" viewBox=\"0.00 0.00 80.00 60.00\" "
	"xmlns=\"http://www.w3.org/2000/svg\" "
	"xmlns:xlink=\"http://www.w3.org/1999/xlink\">\n"
	"<g id=\"graph0\" class=\"graph\"><title>fds</title>\n"
	"<g id=\"node1\" class=\"node\"><title>fd3</title>\n"
	"<ellipse fill=\"none\" stroke=\"black\" cx=\"40\" cy=\"30\" "
	"rx=\"30\" ry=\"18\"/>\n<text text-anchor=\"middle\" x=\"40\" "
	"y=\"34\">fd 3 &#45;&gt; wo.txt</text>\n</g>\n</g>\n</svg>\n";

std::string
png(const support::scratch &s)
{
	std::string convert = tool("convert");
	EXPECT_FALSE(convert.empty()) << "ImageMagick's convert is missing";
	support::run(support::options(convert,
				      {"convert", "-size", "40x20", "xc:red",
				       "png:" + (s / "red.png")}));
	return s.get("red.png");
}

void
put(const support::scratch &s, const std::string &dir, const machine &m)
{
	fs::create_directories(s / (dir + "/latency"));
	fs::create_directories(s / (dir + "/fds"));
	s.put(dir + "/machine",
	      "host=" + m.host + "\ndate=2025-03-04T05:06:07+00:00\n" +
		      "os=Debian GNU/Linux 12 (bookworm)\nkernel=" + m.kernel +
		      "\ncpu=" + m.cpu + "\ncores=2\nmemory=23 GiB\nfs=" +
		      m.fs + "\ndevice=vda\nwhy=the scratch is on tmpfs\n");
	std::string rows;
	for (const copy &c : m.copies)
		rows += c.label + "\t" + c.sync + "\t" + c.calls + "\t" + c.ms +
			"\t" + c.mscall + "\t" + c.writes + "\n";
	s.put(dir + "/copies", rows);
	s.put(dir + "/readit", m.readit + "\n");
	s.put(dir + "/latency/1slow.data", m.slow);
	s.put(dir + "/latency/2fast.data", m.fast);
	s.put(dir + "/fds/hand.svg", handsvg);
	s.put(dir + "/fds/hand.title", m.title + "\n");
	s.put(dir + "/fds/hand.json", m.fdmap + "\n");
	if (!tool("dot").empty()) {
		support::options o(
			tool("sh"),
			{"sh", "-c", "echo 'digraph { a -> b }' | dot -Tsvg"});
		s.put(dir + "/fds/real.svg", support::run(o).out);
		s.put(dir + "/fds/real.title", "drawn by dot\n");
		s.put(dir + "/fds/real.json", "{\"processes\": []}\n");
	}
	s.put(dir + "/findings", m.findings);
	s.put(dir + "/firstwin.png", png(s));
	s.put(dir + "/labs", m.labs);
}

// The page as an XML parser reads it: each element, its attributes and all
// the text within it.
struct node {
	std::string name, ns, text;
	std::map<std::string, std::string> attrs;
	std::vector<node> kids;

	std::string attr(const std::string &a) const
	{
		auto i = attrs.find(a);
		return i == attrs.end() ? "" : i->second;
	}
	void all(const std::string &n, std::vector<const node *> &v) const
	{
		if (name == n)
			v.push_back(this);
		for (const node &k : kids)
			k.all(n, v);
	}
	std::vector<const node *> all(const std::string &n) const
	{
		std::vector<const node *> v;
		all(n, v);
		return v;
	}
	const node *byid(const std::string &id) const
	{
		if (attr("id") == id)
			return this;
		for (const node &k : kids)
			if (const node *n = k.byid(id))
				return n;
		return nullptr;
	}
};

node
parse(const std::string &xml, std::string &err)
{
	QXmlStreamReader r(QByteArray::fromStdString(xml));
	node root;
	std::vector<node *> open{&root};
	while (!r.atEnd()) {
		r.readNext();
		if (r.isStartElement()) {
			node n;
			n.name = r.name().toString().toStdString();
			n.ns = r.namespaceUri().toString().toStdString();
			for (const QXmlStreamAttribute &a : r.attributes())
				n.attrs[a.qualifiedName()
						.toString()
						.toStdString()] =
					a.value().toString().toStdString();
			open.back()->kids.push_back(n);
			open.push_back(&open.back()->kids.back());
		} else if (r.isEndElement()) {
			open.pop_back();
		} else if (r.isCharacters()) {
			for (node *n : open)
				n->text += r.text().toString().toStdString();
		}
	}
	err = r.hasError() ? r.errorString().toStdString() + " at line " +
				     std::to_string(r.lineNumber())
			   : "";
	return root;
}

// The data the page holds, as Qt's JSON reader reads it.
QJsonObject
data(const node &doc)
{
	const node *d = doc.byid("fdlab-data");
	if (!d)
		return {};
	QJsonParseError e{};
	auto j =
		QJsonDocument::fromJson(QByteArray::fromStdString(d->text), &e);
	EXPECT_EQ(e.error, QJsonParseError::NoError)
		<< e.errorString().toStdString();
	return j.object();
}

std::string
str(const QJsonValue &v)
{
	return v.toString().toStdString();
}

// What keeps a page from standing alone: a URL other than the namespace
// names, a reference to anything but itself, code that would run.
std::vector<std::string>
outside(const std::string &raw, const node &doc)
{
	std::vector<std::string> bad;
	std::string bare = raw;
	for (const std::string ns : {"\"http://www.w3.org/1999/xhtml\"",
				     "\"http://www.w3.org/2000/svg\"",
				     "\"http://www.w3.org/1999/xlink\""})
		for (std::size_t p; (p = bare.find(ns)) != std::string::npos;)
			bare.erase(p, ns.size());
	for (const char *scheme : {"http:", "https:", "file:"})
		if (bare.find(scheme) != std::string::npos)
			bad.push_back(std::string("a URL: ") + scheme);
	std::function<void(const node &)> walk = [&](const node &n) {
		for (const auto &[k, v] : n.attrs) {
			bool ref =
				k == "src" || k == "href" || k == "xlink:href";
			if (ref && v.compare(0, 5, "data:") != 0 &&
			    (v[0] != '#' || !doc.byid(v.substr(1))))
				bad.emplace_back(k).append("=").append(v);
			if (k.compare(0, 2, "on") == 0)
				bad.push_back("a handler: " + k);
		}
		if (n.name == "script" && n.attr("type") != "application/json")
			bad.push_back("a script that runs");
		for (const char *e : {"link", "iframe", "object", "embed"})
			if (n.name == e)
				bad.push_back("an element " + n.name);
		for (const node &k : n.kids)
			walk(k);
	};
	walk(doc);
	if (bare.find("url(") != std::string::npos ||
	    bare.find("@import") != std::string::npos)
		bad.push_back("CSS that fetches");
	if (doc.all("script").size() != 1)
		bad.push_back("other than one script element");
	return bad;
}

// Made and read back: the page of a fixture directory.
struct page {
	support::scratch s;
	std::string raw, err;
	node doc;
	support::result r;

	page(const machine &m = {}, const std::string &dir = "figs")
	{
		put(s, dir, m);
		r = run({s / dir, s / "page.html"});
		raw = s.get("page.html");
		doc = parse(raw, err);
	}
};

TEST(report, page_holds_every_figure_well_formed)
{
	machine m;
	page p(m);
	ASSERT_EQ(p.r.status, 0) << p.r.err;
	EXPECT_EQ(p.r.err, "");
	ASSERT_EQ(p.err, "");
	EXPECT_EQ(p.raw.compare(0, 16, "<!DOCTYPE html>\n"), 0);
	// dot's declaration and DOCTYPE were not copied in.
	EXPECT_EQ(p.raw.find("<?xml"), std::string::npos);
	EXPECT_EQ(p.raw.find("<!DOCTYPE", 1), std::string::npos);
	const node &html = p.doc.kids.at(0);
	EXPECT_EQ(html.name, "html");
	EXPECT_EQ(html.ns, "http://www.w3.org/1999/xhtml");
	for (const std::string &id : sections) {
		const node *sec = p.doc.byid(id);
		ASSERT_TRUE(sec) << id;
		EXPECT_EQ(sec->name, "section");
		EXPECT_EQ(sec->all("h2").size(), 1U) << id;
		EXPECT_EQ(sec->text.find("Not measured"), std::string::npos)
			<< id;
	}
	EXPECT_NE(p.doc.byid("machine")->text.find("6.1.0-28-amd64"),
		  std::string::npos);
	EXPECT_NE(p.doc.byid("machine")->text.find("23 GiB"),
		  std::string::npos);

	// The copies: a row each, in order, as the tour wrote them.
	auto rows = p.doc.byid("copies")->all("tbody")[0]->all("tr");
	ASSERT_EQ(rows.size(), m.copies.size());
	for (std::size_t i = 0; i < rows.size(); i++) {
		const copy &c = m.copies[i];
		std::vector<std::string> cells;
		for (const node &k : rows[i]->kids)
			cells.push_back(k.text);
		std::vector<std::string> want{
			c.label,  c.sync,
			c.calls,  c.ms,
			c.mscall, c.writes == "-" ? "not counted" : c.writes};
		EXPECT_EQ(cells, want);
	}
	EXPECT_NE(p.doc.byid("copies")->text.find(m.readit), std::string::npos);
	EXPECT_NE(p.doc.byid("copies")->text.find("the scratch is on tmpfs"),
		  std::string::npos);

	// Each bar as wide as its count is of the largest count, in percent:
	// the lone slow write too, and no bar where there is no write.
	auto hists = p.doc.byid("latency")->all("table");
	ASSERT_EQ(hists.size(), 2U);
	std::vector<std::vector<double>> counts{{11, 400, 100, 0, 0, 0, 1},
						{300, 197, 12}};
	for (std::size_t h = 0; h < hists.size(); h++) {
		auto trs = hists[h]->all("tbody")[0]->all("tr");
		ASSERT_EQ(trs.size(), counts[h].size());
		double most =
			*std::max_element(counts[h].begin(), counts[h].end());
		for (std::size_t i = 0; i < trs.size(); i++) {
			double n = counts[h][i];
			EXPECT_EQ(std::stod(trs[i]->kids.at(2).text), n);
			auto bars = trs[i]->all("div");
			if (n == 0) {
				EXPECT_TRUE(bars.empty());
				continue;
			}
			ASSERT_EQ(bars.size(), 1U);
			std::string style = bars[0]->attr("style");
			ASSERT_EQ(style.compare(0, 7, "width: "), 0) << style;
			ASSERT_EQ(style.back(), '%') << style;
			std::size_t used = 0;
			double w = std::stod(style.substr(7), &used);
			EXPECT_EQ(used, style.size() - 8) << style;
			EXPECT_NEAR(w, 100 * n / most, 0.051);
		}
	}
	std::string lat = p.doc.byid("latency")->text;
	for (const char *f : {"p50 300 µs", "p99 700 µs", "max 9000 µs",
			      "27 ns", "oflagcopy, O_SYNC", "O_SYNC on"})
		EXPECT_NE(lat.find(f), std::string::npos) << f;

	// The figures of descriptors, inline and captioned; ids are unique in
	// the page though dot numbers each figure's from graph0.
	auto svgs = p.doc.byid("descriptors")->all("svg");
	EXPECT_EQ(svgs.size(), tool("dot").empty() ? 1U : 2U);
	for (const node *svg : svgs)
		EXPECT_EQ(svg->ns, "http://www.w3.org/2000/svg");
	auto caps = p.doc.byid("descriptors")->all("figcaption");
	ASSERT_FALSE(caps.empty());
	EXPECT_EQ(caps[0]->text, m.title);
	EXPECT_NE(p.doc.byid("descriptors")->text.find("fd 3 -> wo.txt"),
		  std::string::npos);
	std::set<std::string> ids;
	std::function<void(const node &)> each = [&](const node &n) {
		if (!n.attr("id").empty()) {
			EXPECT_TRUE(ids.insert(n.attr("id")).second)
				<< "id " << n.attr("id") << " twice";
		}
		for (const node &k : n.kids)
			each(k);
	};
	each(p.doc);

	// The screenshot, its bytes in the page.
	auto imgs = p.doc.byid("firstwin")->all("img");
	ASSERT_EQ(imgs.size(), 1U);
	std::string src = imgs[0]->attr("src");
	const std::string uri = "data:image/png;base64,";
	ASSERT_EQ(src.compare(0, uri.size(), uri), 0);
	EXPECT_FALSE(imgs[0]->attr("alt").empty());
	std::string bytes =
		QByteArray::fromBase64(
			QByteArray::fromStdString(src.substr(uri.size())))
			.toStdString();
	EXPECT_EQ(bytes, p.s.get("figs/firstwin.png"));

	EXPECT_EQ(p.doc.byid("programs")->all("tr").size(), 3U);
	EXPECT_NE(p.doc.byid("programs")->text.find("asleep in poll"),
		  std::string::npos);
	EXPECT_NE(p.doc.byid("labs")->text.find("1 of 3 exercises solved"),
		  std::string::npos);
	EXPECT_NE(p.doc.byid("labs")->text.find("changed since solved"),
		  std::string::npos);

	// The figures once more, as data.
	const node *script = p.doc.byid("fdlab-data");
	ASSERT_TRUE(script);
	EXPECT_EQ(script->name, "script");
	EXPECT_EQ(script->attr("type"), "application/json");
	QJsonObject d = data(p.doc);
	EXPECT_EQ(str(d["machine"].toObject()["host"]), "alpha");
	QJsonArray copies = d["copies"].toArray();
	ASSERT_EQ(copies.size(), 4);
	EXPECT_EQ(copies[1].toObject()["ms"].toDouble(), 171.0);
	EXPECT_EQ(copies[1].toObject()["writes"].toDouble(), 1567);
	EXPECT_EQ(copies[0].toObject()["calls"].toDouble(), 512);
	EXPECT_TRUE(copies[2].toObject()["writes"].isNull());
	EXPECT_EQ(str(copies[3].toObject()["label"]), "relaxcopy > O_SYNC out");
	EXPECT_EQ(str(d["readit"]), m.readit);
	QJsonArray lats = d["latency"].toArray();
	ASSERT_EQ(lats.size(), 2);
	QJsonArray b = lats[0].toObject()["buckets"].toArray();
	ASSERT_EQ(b.size(), 7);
	EXPECT_EQ(b[6].toArray()[0].toDouble(), 8192);
	EXPECT_EQ(b[6].toArray()[2].toDouble(), 1);
	EXPECT_EQ(lats[1].toObject()["untimed"].toDouble(), 3);
	QJsonObject fd = d["fds"].toArray()[0].toObject();
	EXPECT_EQ(str(fd["title"]), m.title);
	EXPECT_EQ(fd["fdmap"].toObject(),
		  QJsonDocument::fromJson(QByteArray::fromStdString(m.fdmap))
			  .object());
	EXPECT_EQ(str(d["findings"].toArray()[1].toObject()["program"]),
		  "firstwin");
	EXPECT_EQ(str(d["labs"].toArray()[2].toObject()["state"]),
		  "changed since solved");
}

TEST(report, page_is_self_contained)
{
	page p;
	ASSERT_EQ(p.r.status, 0) << p.r.err;
	ASSERT_EQ(p.err, "");
	EXPECT_EQ(outside(p.raw, p.doc), std::vector<std::string>{});

	// The check finds what it is for.
	std::string bad = p.raw;
	bad.replace(bad.find("<main>"), 6,
		    "<main><img src=\"shot.png\" alt=\"\" /><a "
		    "href=\"https://example.org/\">x</a><script>f()</script>");
	std::string err;
	node doc = parse(bad, err);
	ASSERT_EQ(err, "");
	std::vector<std::string> want{
		"a URL: https:", "src=shot.png", "href=https://example.org/",
		"a script that runs", "other than one script element"};
	EXPECT_EQ(outside(bad, doc), want);

	// A figure that would reach outside the page, or run code, is left
	// out of it, and the page says so.
	for (const char *evil :
	     {"<image xlink:href=\"https://example.org/a.png\"/>",
	      "<script>alert(1)</script>", "<g onload=\"alert(1)\"/>",
	      "<image href=\"file:///etc/passwd\"/>",
	      "<rect style=\"fill: url(other.svg#x)\"/>"}) {
		SCOPED_TRACE(evil);
		std::string svg = handsvg;
		svg.insert(svg.find("</svg>"), evil);
		p.s.put("figs/fds/evil.svg", svg);
		ASSERT_EQ(run({p.s / "figs", p.s / "evil.html"}).status, 0);
		std::string raw = p.s.get("evil.html");
		doc = parse(raw, err);
		ASSERT_EQ(err, "");
		EXPECT_EQ(outside(raw, doc), std::vector<std::string>{});
		EXPECT_NE(
			doc.byid("descriptors")->text.find("evil.svg left out"),
			std::string::npos);
		EXPECT_EQ(doc.byid("descriptors")->all("svg").size(),
			  tool("dot").empty() ? 1U : 2U);
	}
}

// Text from the figures that reads as markup, or would end the data's
// script element, or is not UTF-8 at all: it stays text, and the page
// stays one XML document with one script that never runs.
TEST(report, markup_in_the_figures_stays_text)
{
	machine m;
	m.host = "<b>&amp;\"x\"</b>";
	m.cpu = "AMD \xff\xfe EPYC";
	m.readit = "</script><script>alert(1)</script> & <!-- ]]>";
	m.copies[0].label = "a]]>b <!-- c -->";
	m.title = "<i>fd</i> & </figcaption>";
	m.findings = "forkshare   x < y && y > z\n";
	m.labs = "solved\targlines-environ\t<em>now</em>\n";
	m.fdmap = "{\"path\": \"</script>\\u0000&\\udcff\", \"n\": -1.5e3}";
	page p(m);
	ASSERT_EQ(p.r.status, 0) << p.r.err;
	ASSERT_EQ(p.err, "");
	EXPECT_EQ(p.doc.all("script").size(), 1U);
	EXPECT_TRUE(p.doc.all("b").empty());
	EXPECT_TRUE(p.doc.all("em").empty());
	EXPECT_NE(p.doc.byid("machine")->text.find(m.host), std::string::npos);
	EXPECT_NE(p.doc.byid("machine")->text.find("AMD \uFFFD\uFFFD EPYC"),
		  std::string::npos);
	EXPECT_NE(p.doc.byid("copies")->text.find(m.readit), std::string::npos);
	EXPECT_NE(p.doc.byid("copies")->text.find(m.copies[0].label),
		  std::string::npos);
	EXPECT_EQ(p.doc.byid("descriptors")->all("figcaption")[0]->text,
		  m.title);
	EXPECT_NE(p.doc.byid("programs")->text.find("x < y && y > z"),
		  std::string::npos);
	EXPECT_NE(p.doc.byid("labs")->text.find("<em>now</em>"),
		  std::string::npos);

	QJsonObject d = data(p.doc);
	EXPECT_EQ(str(d["machine"].toObject()["host"]), m.host);
	EXPECT_EQ(str(d["machine"].toObject()["cpu"]), "AMD \uFFFD\uFFFD EPYC");
	EXPECT_EQ(str(d["readit"]), m.readit);
	EXPECT_EQ(str(d["copies"].toArray()[0].toObject()["label"]),
		  m.copies[0].label);
	QJsonObject fd = d["fds"].toArray()[0].toObject()["fdmap"].toObject();
	EXPECT_EQ(fd["path"].toString(),
		  QString("</script>") + QChar(0) + "&" + QChar(0xdcff));
	EXPECT_EQ(fd["n"].toDouble(), -1500);
}

// Every section but the machine's stands for files the tour may not have
// written: there it says what was not measured, and shows no empty table.
TEST(report, missing_figures_say_what_was_not_measured)
{
	support::scratch s;
	fs::create_directories(s / "bare");
	fs::create_directories(s / "empty/latency");
	fs::create_directories(s / "empty/fds");
	for (const char *dir : {"bare", "empty"})
		s.put(std::string(dir) + "/machine", "host=gamma\nfs=tmpfs\n");
	for (const char *f : {"copies", "findings", "labs", "firstwin.png"})
		s.put(std::string("empty/") + f, "");
	for (const char *dir : {"bare", "empty"}) {
		SCOPED_TRACE(dir);
		auto r = run({s / dir, s / "p.html"});
		ASSERT_EQ(r.status, 0) << r.err;
		std::string err;
		node doc = parse(s.get("p.html"), err);
		ASSERT_EQ(err, "");
		for (const std::string &id : sections) {
			if (id == "machine")
				continue;
			const node *sec = doc.byid(id);
			ASSERT_TRUE(sec) << id;
			EXPECT_NE(sec->text.find("Not measured"),
				  std::string::npos)
				<< id;
			for (const char *e : {"table", "img", "svg", "figure"})
				EXPECT_TRUE(sec->all(e).empty()) << id << e;
		}
		EXPECT_NE(doc.byid("machine")->text.find("gamma"),
			  std::string::npos);
		QJsonObject d = data(doc);
		EXPECT_TRUE(d["copies"].toArray().isEmpty());
		EXPECT_TRUE(d["latency"].toArray().isEmpty());
		EXPECT_TRUE(d["readit"].isNull());
		EXPECT_EQ(str(d["machine"].toObject()["fs"]), "tmpfs");
	}

	// A picture that is no PNG is not put in the page as one.
	s.put("bare/firstwin.png", "GIF89a");
	ASSERT_EQ(run({s / "bare", s / "p.html"}).status, 0);
	std::string err;
	node doc = parse(s.get("p.html"), err);
	ASSERT_EQ(err, "");
	EXPECT_TRUE(doc.byid("firstwin")->all("img").empty());
	EXPECT_NE(doc.byid("firstwin")->text.find("firstwin.png is no PNG"),
		  std::string::npos);
}

TEST(report, refuses_what_it_cannot_make_a_page_of)
{
	support::scratch s;
	fs::create_directories(s / "nomachine");
	s.put("nomachine/copies", "fcntlcopy\toff\t512\t9.1\t0.018\t0\n");
	struct {
		std::vector<std::string> args;
		int status;
		std::string names;
	} cases[] = {
		{{}, 2, "usage"},
		{{s / "nomachine"}, 2, "usage"},
		{{s / "nomachine", s / "p.html", "x"}, 2, "usage"},
		{{"-x", s / "p.html"}, 2, "usage"},
		{{"--compare", s / "p.html"}, 2, "usage"},
		{{s / "nomachine", s / "p.html"}, 1, s / "nomachine/machine"},
		{{s / "none", s / "p.html"}, 1, s / "none/machine"},
	};
	for (const auto &c : cases) {
		auto r = run(c.args);
		EXPECT_EQ(r.status, c.status) << r.err;
		EXPECT_EQ(r.err.compare(0, 8, "report: "), 0) << r.err;
		EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
		EXPECT_FALSE(fs::exists(s / "p.html"));
	}
	fs::create_directories(s / "ok");
	s.put("ok/machine", "host=delta\n");
	auto r = run({s / "ok", s / "no/such/dir/p.html"});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("report: " + (s / "no/such/dir/p.html")),
		  std::string::npos)
		<< r.err;
}

// The cells of each row of a section's table, by the row's heading.
std::map<std::string, std::vector<const node *>>
byrow(const node &doc, const std::string &id)
{
	std::map<std::string, std::vector<const node *>> rows;
	for (const node &tr : doc.byid(id)->all("tbody")[0]->kids) {
		if (tr.kids.empty() || tr.kids[0].name != "th")
			continue;
		auto &v = rows[tr.kids[0].text];
		for (std::size_t i = 1; i < tr.kids.size(); i++)
			v.push_back(&tr.kids[i]);
	}
	return rows;
}

TEST(report, compare_sets_machines_side_by_side)
{
	// beta: its copies in another order, one missing and one more, other
	// numbers, and its slow histogram over other buckets.
	machine a, b;
	b.host = "beta";
	b.kernel = "6.12.0-9-amd64";
	b.fs = "xfs";
	b.copies = {
		{"relaxcopy > O_SYNC out", "on", "512", "88.8", "0.173",
		 "1030"},
		{"oflagcopy", "on", "512", "77.7", "0.152", "1029"},
		{"relaxcopy > out", "off", "512", "6.6", "0.013", "0"},
		{"oflagcopy, 64 KiB writes", "on", "4", "5.5", "1.375", "8"},
	};
	b.slow = "label=oflagcopy, O_SYNC\nsync=on\ncount=512\nuntimed=0\n"
		 "cost_ns=31\np50_us=150\np99_us=250\nmax_us=300\n"
		 "bucket=64 128 7\nbucket=128 256 505\n";
	support::scratch s;
	put(s, "a", a);
	put(s, "b", b);
	ASSERT_EQ(run({s / "a", s / "a.html"}).status, 0);
	ASSERT_EQ(run({s / "b", s / "b.html"}).status, 0);
	auto t0 = std::chrono::steady_clock::now();
	auto r = run({"--compare", s / "ab.html", s / "a.html", s / "b.html"});
	std::printf("report: two pages compared in %.3f s\n",
		    std::chrono::duration<double>(
			    std::chrono::steady_clock::now() - t0)
			    .count());
	ASSERT_EQ(r.status, 0) << r.err;
	std::string raw = s.get("ab.html"), err;
	node doc = parse(raw, err);
	ASSERT_EQ(err, "");
	EXPECT_EQ(outside(raw, doc), std::vector<std::string>{});

	// A column each, headed by its machine.
	auto heads = doc.byid("copies")->all("thead")[0]->all("th");
	ASSERT_EQ(heads.size(), 3U);
	EXPECT_NE(heads[1]->text.find("alpha"), std::string::npos);
	EXPECT_NE(heads[1]->text.find("6.1.0-28-amd64"), std::string::npos);
	EXPECT_NE(heads[2]->text.find("beta"), std::string::npos);
	EXPECT_NE(heads[2]->text.find("xfs"), std::string::npos);

	// Each copy in one row, each machine's figures in its own column.
	auto rows = byrow(doc, "copies");
	auto has = [&](const machine &m, const std::string &label) {
		for (const copy &c : m.copies)
			if (c.label == label)
				return c.ms + " ms";
		return std::string("not measured");
	};
	for (const std::string label :
	     {"fcntlcopy", "oflagcopy", "relaxcopy > out",
	      "relaxcopy > O_SYNC out", "oflagcopy, 64 KiB writes"}) {
		ASSERT_EQ(rows[label].size(), 2U) << label;
		EXPECT_NE(rows[label][0]->text.find(has(a, label)),
			  std::string::npos)
			<< label << ": " << rows[label][0]->text;
		EXPECT_NE(rows[label][1]->text.find(has(b, label)),
			  std::string::npos)
			<< label << ": " << rows[label][1]->text;
	}
	EXPECT_NE(rows["relaxcopy > out"][0]->text.find("not counted"),
		  std::string::npos);

	// The same histogram side by side, over the same buckets, so that
	// each bucket sits at one height in both.
	auto hists = byrow(doc, "latency");
	for (const auto &[label, cells] : hists) {
		ASSERT_EQ(cells.size(), 2U) << label;
		std::vector<std::string> left, right;
		for (const node *tr : cells[0]->all("tr"))
			left.push_back(tr->kids.at(0).text);
		for (const node *tr : cells[1]->all("tr"))
			right.push_back(tr->kids.at(0).text);
		EXPECT_EQ(left, right) << label;
	}
	auto slow = hists["oflagcopy, O_SYNC"];
	ASSERT_EQ(slow.size(), 2U);
	EXPECT_EQ(slow[0]->all("tr").size(), 9U); // 64 to 16384, and a head
	EXPECT_NE(slow[1]->text.find("p99 250 µs"), std::string::npos);

	// The data of both, to be compared again, with a third.
	QJsonArray pages = data(doc)["pages"].toArray();
	ASSERT_EQ(pages.size(), 2);
	EXPECT_EQ(str(pages[1].toObject()["machine"].toObject()["host"]),
		  "beta");
	EXPECT_EQ(pages[1].toObject()["copies"]
			  .toArray()[1]
			  .toObject()["ms"]
			  .toDouble(),
		  77.7);
	r = run({"--compare", s / "aba.html", s / "ab.html", s / "a.html"});
	ASSERT_EQ(r.status, 0) << r.err;
	raw = s.get("aba.html");
	doc = parse(raw, err);
	ASSERT_EQ(err, "");
	EXPECT_EQ(doc.byid("copies")->all("thead")[0]->all("th").size(), 4U);
	EXPECT_EQ(data(doc)["pages"].toArray().size(), 3);
	EXPECT_EQ(outside(raw, doc), std::vector<std::string>{});
}

TEST(report, compare_refuses_pages_without_figures)
{
	support::scratch s;
	put(s, "a", machine{});
	ASSERT_EQ(run({s / "a", s / "a.html"}).status, 0);
	std::string good = s.get("a.html");
	s.put("plain.html",
	      "<!DOCTYPE html>\n<html><body>hello</body></html>\n");
	std::size_t at = good.find("id=\"fdlab-data\"");
	std::string cut = good;
	cut.erase(cut.find("\"copies\"", at), 40);
	s.put("cut.html", cut);
	std::string nomachine = good;
	nomachine.replace(nomachine.find("\"machine\"", at), 9, "\"mchine\"");
	s.put("nomachine.html", nomachine);
	for (const char *bad :
	     {"plain.html", "cut.html", "nomachine.html", "gone.html"}) {
		auto r =
			run({"--compare", s / "c.html", s / "a.html", s / bad});
		EXPECT_EQ(r.status, 1) << bad;
		EXPECT_EQ(r.err.compare(0, 8 + (s / bad).size(),
					"report: " + (s / bad)),
			  0)
			<< r.err;
		EXPECT_FALSE(fs::exists(s / "c.html"));
	}
}

// Chromium as the tests run it: headless, without a sandbox (as root it
// has none), and kept from the network, from updates and from syncing,
// which it would otherwise try, and be refused, many times over. A
// profile of its own each run, and a home to match: nothing is left in
// the user's. Every flag is here, and only here.
const std::vector<std::string> chromium_flags{
	"--headless",
	"--no-sandbox",
	"--disable-gpu",
	"--disable-dev-shm-usage",
	"--no-first-run",
	"--disable-background-networking",
	"--disable-component-update",
	"--disable-sync",
};
constexpr int chromium_seconds = 90;

std::string
chromium()
{
	std::string c = tool("chromium");
	return c.empty() && access("/usr/bin/chromium", X_OK) == 0
		       ? "/usr/bin/chromium"
		       : c;
}

// Ends what is left of a run: each process whose command line names its
// profile.
void
reap(const std::string &profile)
{
	std::error_code ec;
	for (const auto &e : fs::directory_iterator("/proc", ec)) {
		std::string cmd = support::slurp(e.path() / "cmdline");
		pid_t pid = std::atoi(e.path().filename().c_str());
		if (pid > 0 && cmd.find(profile) != std::string::npos)
			kill(pid, SIGKILL);
	}
}

struct browsed {
	support::result r;
	double seconds;
};

browsed
browse(const support::scratch &s, const std::vector<std::string> &args)
{
	static int runs = 0;
	std::string home = s / ("home" + std::to_string(++runs));
	fs::create_directories(home);
	std::vector<std::string> argv{"timeout", "-k", "5",
				      std::to_string(chromium_seconds),
				      chromium()};
	argv.insert(argv.end(), chromium_flags.begin(), chromium_flags.end());
	argv.push_back("--user-data-dir=" + home + "/profile");
	argv.insert(argv.end(), args.begin(), args.end());
	support::options o(tool("timeout"), argv);
	o.timeout = chromium_seconds + 30;
	std::vector<std::string> env{"HOME=" + home,
				     "XDG_CONFIG_HOME=" + home + "/config",
				     "XDG_CACHE_HOME=" + home + "/cache"};
	for (char **e = environ; *e; e++)
		if (std::string(*e).compare(0, 4, "HOME") != 0 &&
		    std::string(*e).compare(0, 4, "XDG_") != 0)
			env.emplace_back(*e);
	o.env = env;
	auto t0 = std::chrono::steady_clock::now();
	browsed b{support::run(o), 0};
	b.seconds = std::chrono::duration<double>(
			    std::chrono::steady_clock::now() - t0)
			    .count();
	reap(home + "/profile");
	return b;
}

// The messages a page left on the console: Chromium logs each at verbosity
// 1, as CONSOLE(LINE) in older releases and CONSOLE:LINE in newer.
std::vector<std::string>
console(const std::string &log)
{
	std::vector<std::string> v;
	std::istringstream in(log);
	for (std::string l; std::getline(in, l);)
		if (l.find(":CONSOLE(") != std::string::npos ||
		    l.find(":CONSOLE:") != std::string::npos)
			v.push_back(l);
	return v;
}

class report_chromium : public ::testing::Test
{
protected:
	void SetUp() override
	{
		if (chromium().empty())
			GTEST_SKIP() << "no chromium here (Debian's package "
					"chromium): the page is not opened";
		if (tool("timeout").empty())
			GTEST_SKIP() << "no timeout(1) to bound chromium with";
	}
};

TEST_F(report_chromium, shows_every_section_without_a_console_message)
{
	page p;
	ASSERT_EQ(p.r.status, 0) << p.r.err;
	auto t0 = std::chrono::steady_clock::now();
	ASSERT_EQ(run({p.s / "figs", p.s / "again.html"}).status, 0);
	double make = std::chrono::duration<double>(
			      std::chrono::steady_clock::now() - t0)
			      .count();
	ASSERT_EQ(run({"--compare", p.s / "ab.html", p.s / "page.html",
		       p.s / "again.html"})
			  .status,
		  0);
	// The same page as XHTML, for the browser's XML parser to read.
	p.s.put("page.xhtml", p.raw);
	p.s.put("broken.html", "<!DOCTYPE html>\n<html><body><p>x</p><script>"
			       "nosuchfunction();</script></body></html>\n");

	std::vector<std::string> whole{"<svg", "<img", "<table",
				       "id=\"fdlab-data\""};
	for (const std::string &id : sections)
		whole.push_back("<section id=\"" + id + "\"");
	struct {
		std::string file;
		std::vector<std::string> dom; // as the browser parsed it
		bool clean;
	} cases[] = {
		{"page.html", whole, true},
		{"page.xhtml", whole, true},
		{"ab.html",
		 {"<section id=\"copies\"", "<section id=\"latency\"",
		  "id=\"fdlab-data\""},
		 true},
		{"broken.html", {"<p>x</p>"}, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.file);
		auto b =
			browse(p.s, {"--enable-logging=stderr", "--v=1",
				     "--dump-dom", "file://" + (p.s / c.file)});
		ASSERT_FALSE(b.r.timedout);
		ASSERT_EQ(b.r.status, 0) << b.r.err.substr(0, 2000);
		std::printf("report: %s opened in Chromium in %.2f s\n",
			    c.file.c_str(), b.seconds);
		EXPECT_EQ(b.r.out.find("parsererror"), std::string::npos);
		for (const std::string &e : c.dom)
			EXPECT_NE(b.r.out.find(e), std::string::npos) << e;
		auto msgs = console(b.r.err);
		if (c.clean)
			EXPECT_EQ(msgs, std::vector<std::string>{});
		else
			EXPECT_FALSE(msgs.empty())
				<< "a broken page shows no console message";
	}
	std::printf("report: a page of %zu bytes made in %.3f s\n",
		    p.raw.size(), make);
}

// A picture of the page, as a projector would show it: not blank.
TEST_F(report_chromium, draws_the_page)
{
	page p;
	ASSERT_EQ(p.r.status, 0) << p.r.err;
	ASSERT_EQ(run({"--compare", p.s / "ab.html", p.s / "page.html",
		       p.s / "page.html"})
			  .status,
		  0);
	std::string identify = tool("identify");
	ASSERT_FALSE(identify.empty()) << "ImageMagick's identify is missing";
	for (const char *f : {"page.html", "ab.html"}) {
		SCOPED_TRACE(f);
		std::string shot = p.s / (std::string(f) + ".png");
		auto b = browse(p.s, {"--screenshot=" + shot,
				      "--window-size=1280,2400",
				      "file://" + (p.s / f)});
		ASSERT_FALSE(b.r.timedout);
		ASSERT_EQ(b.r.status, 0) << b.r.err.substr(0, 2000);
		ASSERT_TRUE(fs::exists(shot)) << b.r.err.substr(0, 2000);
		auto k = support::run(support::options(
			identify, {"identify", "-format", "%k", shot}));
		ASSERT_EQ(k.status, 0) << k.err;
		EXPECT_GT(std::stoi(k.out), 16) << "colours in " << shot;
		std::printf("report: %s drawn by Chromium in %.2f s, %s "
			    "colours\n",
			    f, b.seconds, k.out.c_str());
	}
}

} // namespace
