// Makes what the tour measured into one page to hand in or to project.
// report DIR OUT.html reads the figures the tour wrote into DIR and writes
// one self-contained XHTML page: every figure inside it, nothing fetched
// from elsewhere, and the figures once more as data. report --compare
// OUT.html PAGE.html... reads that data back from pages it wrote and sets
// their machines side by side, a column each.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void
die(int status, const std::string &msg)
{
	std::fprintf(stderr, "report: %s\n", msg.c_str());
	std::exit(status);
}

// A JSON value. Numbers, true and false are kept as written, so that the
// page shows a figure as the tour wrote it, and reads it back the same.
struct val {
	enum kind : unsigned char { null, lit, str, arr, obj } k = null;
	std::string s;
	std::vector<val> a;
	std::vector<std::pair<std::string, val>> o;

	val() = default;
	explicit val(kind kk, std::string ss = "") : k(kk), s(std::move(ss)) {}

	const val &operator[](const std::string &key) const
	{
		static const val none;
		for (const auto &m : o)
			if (m.first == key)
				return m.second;
		return none;
	}
	const val &at(std::size_t i) const
	{
		static const val none;
		return i < a.size() ? a[i] : none;
	}
	void set(const std::string &key, const val &v)
	{
		o.emplace_back(key, v);
	}
};

// Whether s is a number as JSON writes one:
// -?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?
bool
isnumber(const std::string &s)
{
	std::size_t i = s.compare(0, 1, "-") == 0;
	auto digits = [&] {
		std::size_t from = i;
		while (i < s.size() &&
		       std::isdigit(static_cast<unsigned char>(s[i])))
			i++;
		return i > from;
	};
	if (s.compare(i, 1, "0") == 0)
		i++;
	else if (!digits())
		return false;
	if (s.compare(i, 1, ".") == 0) {
		i++;
		if (!digits())
			return false;
	}
	if (s.compare(i, 1, "e") == 0 || s.compare(i, 1, "E") == 0) {
		i++;
		if (s.compare(i, 1, "+") == 0 || s.compare(i, 1, "-") == 0)
			i++;
		if (!digits())
			return false;
	}
	return i == s.size();
}

// A figure as the tour wrote it: a number, text, or null where it wrote
// '-' for what it could not count.
val
figure(const std::string &s)
{
	if (s.empty() || s == "-")
		return {};
	return val(isnumber(s) ? val::lit : val::str, s);
}

// A row's fields by name: the first ntext are text, the rest figures.
val
record(const std::vector<std::string> &f,
       std::initializer_list<const char *> keys, std::size_t ntext)
{
	val v(val::obj);
	std::size_t i = 0;
	for (const char *k : keys) {
		std::string x = i < f.size() ? f[i] : "";
		v.set(k, i++ < ntext ? val(val::str, x) : figure(x));
	}
	return v;
}

// cp in UTF-8. A surrogate, which only a \u escape can name, is encoded
// as any other code point, so that quote() can write it back as it was.
void
utf8(std::string &r, unsigned long cp)
{
	if (cp < 0x80) {
		r += static_cast<char>(cp);
		return;
	}
	int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
	r += static_cast<char>(0xf00 >> n | cp >> 6 * (n - 1));
	for (int k = n - 2; k >= 0; k--)
		r += static_cast<char>(0x80 | (cp >> 6 * k & 0x3f));
}

// Text as XML takes it: what is not well-formed UTF-8, or is a character
// XML forbids, becomes U+FFFD. One stray byte in a host name or a path
// would otherwise leave the whole page unreadable to an XML parser.
std::string
clean(const std::string &s)
{
	constexpr std::array<unsigned long, 5> least{0, 0, 0x80, 0x800,
						     0x10000};
	std::string r;
	for (std::size_t i = 0; i < s.size();) {
		auto c = static_cast<unsigned char>(s[i]);
		std::size_t n = c < 0x80       ? 1
				: c >> 5 == 6  ? 2
				: c >> 4 == 14 ? 3
				: c >> 3 == 30 ? 4
					       : 0;
		unsigned long cp = n == 1 ? c : c & 0x7f >> n;
		bool ok = n && i + n <= s.size();
		for (std::size_t k = 1; ok && k < n; k++) {
			auto b = static_cast<unsigned char>(s[i + k]);
			ok = (b & 0xc0) == 0x80;
			cp = cp << 6 | (b & 0x3f);
		}
		ok = ok && cp >= least[n] && cp <= 0x10ffff &&
		     (cp < 0xd800 || cp > 0xdfff) && cp != 0xfffe &&
		     cp != 0xffff &&
		     (cp >= 0x20 || (c && std::strchr("\t\n\r", c)));
		r += ok ? s.substr(i, n) : "\xef\xbf\xbd";
		i += ok ? n : 1;
	}
	return r;
}

// Nothing in the data may end the script element that holds it early, nor
// read as markup to an XML parser: <, > and & are written as escapes, as
// are the surrogates utf8() kept.
std::string
quote(const std::string &s)
{
	std::string r = "\"";
	std::array<char, 8> u{};
	for (std::size_t i = 0; i < s.size(); i++) {
		auto c = static_cast<unsigned char>(s[i]);
		if (c == 0xed && i + 2 < s.size() && (s[i + 1] & 0x20)) {
			std::snprintf(u.data(), u.size(), "\\u%04x",
				      0xd000 | (s[i + 1] & 0x3f) << 6 |
					      (s[i + 2] & 0x3f));
			r += u.data();
			i += 2;
		} else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
			std::snprintf(u.data(), u.size(), "\\u%04x", c);
			r += u.data();
		} else {
			if (c == '"' || c == '\\')
				r += '\\';
			r += s[i];
		}
	}
	return r + '"';
}

// An item a line at the data's top two levels, for a reader of the source.
std::string
json(const val &v, int depth = 0)
{
	std::string sep = depth < 2 ? ",\n" : ",", r;
	switch (v.k) {
	case val::null:
		return "null";
	case val::lit:
		return v.s;
	case val::str:
		return quote(v.s);
	case val::arr:
		for (const val &x : v.a)
			r += (r.empty() ? "" : sep) + json(x, depth + 1);
		return "[" + r + "]";
	case val::obj:
		for (const auto &m : v.o)
			r += (r.empty() ? "" : sep) + quote(m.first) + ":" +
			     json(m.second, depth + 1);
		return "{" + r + "}";
	}
	return "null";
}

// Reads JSON back: fdmap's, and the data of the pages being compared.
struct reader {
	const std::string &s;
	std::size_t i = 0;
	int depth = 0;

	[[noreturn]] void fail(const std::string &what) const
	{
		throw std::runtime_error("at byte " + std::to_string(i) + ": " +
					 what);
	}

	bool eat(char c)
	{
		i = std::min(s.find_first_not_of(" \t\r\n", i), s.size());
		if (i == s.size() || s[i] != c)
			return false;
		i++;
		return true;
	}

	std::string string()
	{
		if (!eat('"'))
			fail("expected a string");
		const char *escapes = "\"\\/bfnrt";
		std::string r;
		while (i < s.size() && s[i] != '"') {
			char c = s[i++];
			const char *e = i < s.size() && s[i]
						? std::strchr(escapes, s[i])
						: nullptr;
			if (c != '\\') {
				r += c;
			} else if (e) {
				r += "\"\\/\b\f\n\r\t"[e - escapes];
				i++;
			} else if (s.compare(i, 1, "u") == 0 &&
				   i + 5 <= s.size() &&
				   s.find_first_not_of("0123456789abcdefABCDEF",
						       i + 1) >= i + 5) {
				utf8(r, std::stoul(s.substr(i + 1, 4), nullptr,
						   16));
				i += 5;
			} else {
				fail("a bad escape");
			}
		}
		if (i++ == s.size())
			fail("a string does not end");
		return r;
	}

	val value()
	{
		if (++depth > 64)
			fail("nested too deep");
		val v;
		if (eat('{')) {
			v.k = val::obj;
			while (!eat('}')) {
				if (!v.o.empty() && !eat(','))
					fail("expected ',' or '}'");
				std::string key = string();
				if (!eat(':'))
					fail("expected ':'");
				v.set(key, value());
			}
		} else if (eat('[')) {
			v.k = val::arr;
			while (!eat(']')) {
				if (!v.a.empty() && !eat(','))
					fail("expected ',' or ']'");
				v.a.push_back(value());
			}
		} else if (i < s.size() && s[i] == '"') {
			v = val(val::str, string());
		} else {
			std::size_t end = s.find_first_of(" \t\r\n,]}", i);
			v = val(val::lit, s.substr(i, end - i));
			i = std::min(end, s.size());
			if (v.s == "null")
				v = val();
			else if (v.s != "true" && v.s != "false" &&
				 !isnumber(v.s))
				fail("expected a value");
		}
		depth--;
		return v;
	}
};

val
parse(const std::string &s)
{
	reader r{s};
	val v = r.value();
	if (r.i < s.find_last_not_of(" \t\r\n") + 1)
		r.fail("more after the end");
	return v;
}

bool
slurp(const fs::path &p, std::string &bytes)
{
	std::ifstream f(p, std::ios::binary);
	bytes.assign(std::istreambuf_iterator<char>(f), {});
	return f.good() || f.eof();
}

// A text file of the tour's, cleaned; empty when it is missing.
std::string
textfile(const fs::path &p)
{
	std::string s;
	return slurp(p, s) ? clean(s) : "";
}

std::vector<std::string>
split(const std::string &s, char by)
{
	std::vector<std::string> v{""};
	for (char c : s)
		if (c == by)
			v.emplace_back();
		else
			v.back() += c;
	return v;
}

std::vector<std::string>
lines(const std::string &s)
{
	std::vector<std::string> v = split(s, '\n');
	for (std::string &l : v)
		if (!l.empty() && l.back() == '\r')
			l.pop_back();
	v.erase(std::remove(v.begin(), v.end(), ""), v.end());
	return v;
}

std::string
trim(const std::string &s)
{
	std::size_t a = s.find_first_not_of(" \t\n");
	return a == std::string::npos
		       ? ""
		       : s.substr(a, s.find_last_not_of(" \t\n") - a + 1);
}

// The files with one extension in a directory of the tour's, in the order
// of their names, so that a page made twice is the same page.
std::vector<fs::path>
files(const fs::path &dir, const std::string &ext)
{
	std::vector<fs::path> v;
	std::error_code ec;
	for (const auto &e : fs::directory_iterator(dir, ec))
		if (e.path().extension() == ext)
			v.push_back(e.path());
	std::sort(v.begin(), v.end());
	return v;
}

// A histogram as lathist --data prints it, its buckets [low, high, count].
val
histdata(const fs::path &p)
{
	val h(val::obj), buckets(val::arr);
	h.set("file", val(val::str, p.filename().string()));
	for (const std::string &l : lines(textfile(p))) {
		std::size_t eq = l.find('=');
		std::string key = l.substr(0, eq), v = l.substr(eq + 1);
		if (key == "bucket") {
			val b(val::arr);
			for (const std::string &f : split(v, ' '))
				if (!f.empty())
					b.a.push_back(figure(f));
			if (b.a.size() == 3)
				buckets.a.push_back(b);
		} else if (eq != std::string::npos) {
			bool words = key == "label" || key == "sync";
			h.set(key, words ? val(val::str, v) : figure(v));
		}
	}
	if (h["label"].s.empty())
		h.set("label", val(val::str, p.stem().string()));
	h.set("buckets", buckets);
	return h;
}

// All that DIR holds, as data, in the order the page shows it.
val
gather(const fs::path &dir)
{
	val d(val::obj), machine(val::obj), copies(val::arr), hists(val::arr),
		fds(val::arr), findings(val::arr), labs(val::arr);
	std::string s;
	if (!slurp(dir / "machine", s))
		die(1, (dir / "machine").string() +
			       ": cannot be read: is this a directory the "
			       "tour wrote?");
	for (const std::string &l : lines(clean(s)))
		if (l.find('=') != std::string::npos)
			machine.set(l.substr(0, l.find('=')),
				    val(val::str, l.substr(l.find('=') + 1)));
	for (const std::string &l : lines(textfile(dir / "copies"))) {
		std::vector<std::string> f = split(l, '\t');
		if (f.size() == 6)
			copies.a.push_back(record(f,
						  {"label", "sync", "calls",
						   "ms", "ms_call", "writes"},
						  2));
		else
			std::fprintf(stderr,
				     "report: %s: a row of %zu fields, not 6, "
				     "left out\n",
				     (dir / "copies").c_str(), f.size());
	}
	for (const fs::path &p : files(dir / "latency", ".data"))
		hists.a.push_back(histdata(p));
	for (fs::path p : files(dir / "fds", ".svg")) {
		val f(val::obj);
		std::string title =
			trim(textfile(p.replace_extension(".title")));
		f.set("title",
		      val(val::str, title.empty() ? p.stem().string() : title));
		try {
			if (slurp(p.replace_extension(".json"), s))
				f.set("fdmap", parse(clean(s)));
		} catch (const std::runtime_error &e) {
			std::fprintf(stderr,
				     "report: %s: not JSON (%s), left out\n",
				     p.c_str(), e.what());
		}
		fds.a.push_back(f);
	}
	for (const std::string &l : lines(textfile(dir / "findings"))) {
		std::size_t sp = std::min(l.find_first_of(" \t"), l.size());
		findings.a.push_back(
			record({l.substr(0, sp), trim(l.substr(sp))},
			       {"program", "text"}, 2));
	}
	for (const std::string &l : lines(textfile(dir / "labs")))
		labs.a.push_back(
			record(split(l, '\t'), {"state", "name", "title"}, 3));
	std::string readit = trim(textfile(dir / "readit"));
	d.set("machine", machine);
	d.set("copies", copies);
	d.set("readit", readit.empty() ? val() : val(val::str, readit));
	d.set("latency", hists);
	d.set("fds", fds);
	d.set("findings", findings);
	d.set("labs", labs);
	return d;
}

// --- The page

std::string
esc(const std::string &s)
{
	std::string r;
	for (char c : clean(s))
		if (c == '&')
			r += "&amp;";
		else if (c == '<')
			r += "&lt;";
		else if (c == '>')
			r += "&gt;";
		else if (c == '"')
			r += "&quot;";
		else
			r += c;
	return r;
}

// A figure as the page shows it.
std::string
show(const val &v, const char *none = "not counted")
{
	return v.k == val::null || v.s.empty() ? none : esc(v.s);
}

double
num(const val &v)
{
	return std::strtod(v.s.c_str(), nullptr);
}

std::string
missing(const std::string &what, const std::string &file)
{
	return "<p class=\"missing\">Not measured: " + what + " (no " + file +
	       " among the figures).</p>\n";
}

struct keyname {
	const char *key, *name;
};
constexpr std::array<keyname, 10> keynames{{
	{"host", "host"},
	{"date", "date"},
	{"os", "system"},
	{"kernel", "kernel"},
	{"cpu", "processor"},
	{"cores", "cores"},
	{"memory", "memory"},
	{"fs", "file system of the copies"},
	{"device", "device counted"},
	{"why", "why no device writes"},
}};

std::string
machinelist(const val &m, const std::vector<std::string> &keys)
{
	std::string r = "<dl>\n";
	for (const std::string &k : keys) {
		const char *name = k.c_str();
		for (const keyname &n : keynames)
			if (k == n.key)
				name = n.name;
		r += "<dt>" + esc(name) + "</dt><dd>" + show(m[k], "none") +
		     "</dd>\n";
	}
	return r + "</dl>\n";
}

// The buckets of histograms side by side: every bucket any of them has,
// so that the same bucket sits at the same height in each.
std::vector<val>
buckets(const std::vector<const val *> &hists)
{
	std::vector<val> r;
	for (const val *h : hists)
		for (const val &b : (*h)["buckets"].a)
			if (std::none_of(r.begin(), r.end(), [&](const val &x) {
				    return x.at(0).s == b.at(0).s;
			    }))
				r.push_back(b);
	std::sort(r.begin(), r.end(), [](const val &x, const val &y) {
		return num(x.at(0)) < num(y.at(0));
	});
	return r;
}

// Bars as wide as their count is of the largest: a lone slow write stays
// in sight, its count beside it, and the browser lays out the rest.
std::string
histogram(const val &h, const std::vector<val> &rows)
{
	auto of = [&](const val &b) {
		for (const val &x : h["buckets"].a)
			if (x.at(0).s == b.at(0).s)
				return x.at(2);
		return val(val::lit, "0");
	};
	double most = 0;
	for (const val &b : rows)
		most = std::max(most, num(of(b)));
	std::string r =
		"<p>" + show(h["count"], "?") + " writes timed, " +
		show(h["untimed"], "?") + " not; p50 " +
		show(h["p50_us"], "?") + " µs, p99 " + show(h["p99_us"], "?") +
		" µs, max " + show(h["max_us"], "?") +
		" µs. Taking the time costs about " + show(h["cost_ns"], "?") +
		" ns a write.</p>\n<table class=\"hist\"><thead><tr><th>µs a "
		"write</th><th>writes</th><th class=\"n\">count</th></tr>"
		"</thead><tbody>\n";
	for (const val &b : rows) {
		std::array<char, 32> w{};
		std::snprintf(w.data(), w.size(), "%.1f%%",
			      most > 0 ? 100 * num(of(b)) / most : 0.0);
		r += "<tr><th>" + esc(b.at(0).s) + "–" + esc(b.at(1).s) +
		     "</th><td class=\"bar\">";
		if (num(of(b)) > 0)
			r += "<div style=\"width: " + std::string(w.data()) +
			     "\"></div>";
		r += "</td><td class=\"n\">" + show(of(b)) + "</td></tr>\n";
	}
	return r + "</tbody></table>\n";
}

std::string
syncname(const val &v)
{
	return v.s.empty() ? "" : "O_SYNC " + esc(v.s);
}

std::string
latency(const val &hists)
{
	if (hists.a.empty())
		return missing("the time each write took", "latency/*.data");
	std::string r;
	for (const val &h : hists.a)
		r += "<figure class=\"histogram\"><figcaption>" +
		     esc(h["label"].s) + " <span>" + syncname(h["sync"]) +
		     "</span></figcaption>\n" + histogram(h, h["buckets"].a) +
		     "</figure>\n";
	return r;
}

std::string
copytable(const val &d)
{
	if (d["copies"].a.empty())
		return missing(
			"the copies' write calls, time and device writes",
			"copies");
	std::string r = "<table class=\"copies\"><thead><tr><th>copy</th>"
			"<th>O_SYNC</th><th class=\"n\">write calls</th>"
			"<th class=\"n\">time (ms)</th><th class=\"n\">ms a "
			"call</th><th class=\"n\">device writes</th></tr>"
			"</thead><tbody>\n";
	bool uncounted = false;
	for (const val &c : d["copies"].a) {
		uncounted = uncounted || c["writes"].k == val::null;
		r += "<tr class=\"" + esc(c["sync"].s) + "\"><th>" +
		     esc(c["label"].s) + "</th><td>" + esc(c["sync"].s) +
		     "</td>";
		for (const char *k : {"calls", "ms", "ms_call", "writes"})
			r += "<td class=\"n\">" + show(c[k]) + "</td>";
		r += "</tr>\n";
	}
	r += "</tbody></table>\n";
	if (d["readit"].k == val::str)
		r += "<p class=\"readit\">" + esc(d["readit"].s) + "</p>\n";
	if (uncounted)
		r += "<p>Device writes not counted: " +
		     show(d["machine"]["why"], "no reason was given") +
		     ".</p>\n";
	return r;
}

// Whether a figure holds what dot never writes, and what would make the
// page reach outside itself or run code: a URL but the two namespace
// names, a reference but to a part of the page, a script, a handler.
bool
foreign(std::string svg)
{
	for (const std::string ok :
	     {"\"http://www.w3.org/2000/svg\"",
	      "\"http://www.w3.org/1999/xlink\"", "href=\"#", "url(#"})
		for (std::size_t p; (p = svg.find(ok)) != std::string::npos;)
			svg.erase(p, ok.size());
	std::transform(svg.begin(), svg.end(), svg.begin(), [](char c) {
		return std::tolower(static_cast<unsigned char>(c));
	});
	for (const char *no : {"http:", "https:", "file:", "href=", "src=",
			       "url(", "<script", "<foreignobject", "@import"})
		if (svg.find(no) != std::string::npos)
			return true;
	for (std::size_t p = 0;
	     (p = svg.find("on", p + 1)) != std::string::npos;) {
		std::size_t e = p + 2;
		while (e < svg.size() &&
		       std::isalpha(static_cast<unsigned char>(svg[e])))
			e++;
		if (std::isspace(static_cast<unsigned char>(svg[p - 1])) &&
		    svg.compare(e, 1, "=") == 0)
			return true;
	}
	return false;
}

// The figures of descriptors as dot drew them, from their svg element on:
// the XML declaration and DOCTYPE before it would be out of place inside
// a page. dot numbers every figure's ids from graph0, and ids are unique
// in a page: each figure's get a prefix of its own.
std::string
figures(const fs::path &dir, const val &fds)
{
	std::vector<fs::path> svgs = files(dir / "fds", ".svg");
	if (svgs.empty())
		return missing("the figures of descriptors", "fds/*.svg");
	std::string r;
	for (std::size_t i = 0; i < svgs.size(); i++) {
		std::string svg = textfile(svgs[i]);
		std::size_t at = svg.find("<svg"), end = svg.rfind("</svg>");
		svg = at < end && end != std::string::npos
			      ? svg.substr(at, end + 6 - at)
			      : "";
		if (svg.empty() || foreign(svg)) {
			r += "<p class=\"missing\">" +
			     esc(svgs[i].filename().string()) +
			     " left out: it is no figure as dot draws them."
			     "</p>\n";
			continue;
		}
		std::string id = "fig" + std::to_string(i + 1) + "-";
		for (const std::string from : {" id=\"", "href=\"#", "url(#"})
			for (std::size_t p = 0;
			     (p = svg.find(from, p)) != std::string::npos;
			     p += from.size() + id.size())
				svg.insert(p + from.size(), id);
		r += "<figure class=\"fds\">\n" + svg + "\n<figcaption>" +
		     esc(fds.at(i)["title"].s) + "</figcaption></figure>\n";
	}
	return r;
}

std::string
base64(const std::string &in)
{
	constexpr const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
				       "abcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string r;
	for (std::size_t i = 0; i < in.size(); i += 3) {
		auto at = [&](std::size_t k) {
			return k < in.size() ? static_cast<unsigned char>(in[k])
					     : 0UL;
		};
		unsigned long n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
		r += digits[n >> 18 & 63];
		r += digits[n >> 12 & 63];
		r += i + 1 < in.size() ? digits[n >> 6 & 63] : '=';
		r += i + 2 < in.size() ? digits[n & 63] : '=';
	}
	return r;
}

std::string
screenshot(const fs::path &dir)
{
	std::string png;
	if (!slurp(dir / "firstwin.png", png) || png.empty())
		return missing("the picture of firstwin's window",
			       "firstwin.png");
	if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
		return "<p class=\"missing\">Not shown: firstwin.png is no "
		       "PNG.</p>\n";
	return "<figure><img src=\"data:image/png;base64," + base64(png) +
	       "\" alt=\"firstwin's window, as the tour saw it\" />"
	       "<figcaption>firstwin's window, as the tour saw it"
	       "</figcaption></figure>\n";
}

std::string
findings(const val &f)
{
	if (f.a.empty())
		return missing("what each program showed", "findings");
	std::string r = "<table><thead><tr><th>program</th><th>what it "
			"showed</th></tr></thead><tbody>\n";
	for (const val &x : f.a)
		r += "<tr><th>" + esc(x["program"].s) + "</th><td>" +
		     esc(x["text"].s) + "</td></tr>\n";
	return r + "</tbody></table>\n";
}

std::string
progress(const val &labs)
{
	if (labs.a.empty())
		return missing("the progress in the exercises", "labs");
	auto solved =
		std::count_if(labs.a.begin(), labs.a.end(), [](const val &x) {
			return x["state"].s == "solved";
		});
	std::string r = "<p class=\"big\">" + std::to_string(solved) + " of " +
			std::to_string(labs.a.size()) +
			" exercises solved.</p>\n<table><thead><tr>"
			"<th>state</th><th>exercise</th><th>task</th></tr>"
			"</thead><tbody>\n";
	for (const val &x : labs.a)
		r += "<tr><td>" + esc(x["state"].s) + "</td><th>" +
		     esc(x["name"].s) + "</th><td>" + esc(x["title"].s) +
		     "</td></tr>\n";
	return r + "</tbody></table>\n";
}

// Sized for a projector and for paper: large type, black on white, and
// every distinction made in words, never in colour alone.
constexpr const char *style = R"(
body { font: 18px/1.5 "DejaVu Sans", "Liberation Sans", Arial, sans-serif;
	color: #000; background: #fff; margin: 1em auto; padding: 0 1em;
	max-width: 80em; }
h1 { font-size: 1.9em; margin: 0.2em 0; }
h2 { font-size: 1.45em; border-bottom: 3px solid #000; margin-top: 1.6em; }
figcaption { font-weight: bold; margin: 0.4em 0; }
figcaption span { font-weight: normal; }
figure { margin: 1em 0; break-inside: avoid; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #444; padding: 0.2em 0.6em; text-align: left;
	vertical-align: top; }
thead th { background: #e8e8e8; }
.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.on th, tr.on td { font-weight: bold; }
dl { display: grid; grid-template-columns: max-content auto;
	gap: 0.1em 1em; margin: 0.5em 0; }
dt { font-weight: bold; }
dd { margin: 0; }
.missing { font-style: italic; border-left: 6px solid #444;
	padding-left: 0.6em; }
.big { font-size: 1.3em; font-weight: bold; }
table.hist { width: 100%; table-layout: fixed; }
table.hist th:first-child { width: 8.5em; }
table.hist th.n { width: 4em; }
td.bar div { height: 1em; min-width: 3px; background: #1a4b8c;
	border: 1px solid #000; print-color-adjust: exact;
	-webkit-print-color-adjust: exact; }
table.side { table-layout: fixed; width: 100%; }
table.side th:first-child { width: 11em; }
table.side thead th { font-weight: normal; }
table.side td, table.side th { overflow-wrap: anywhere; }
table.side dl { display: block; }
table.side dd { margin-bottom: 0.3em; }
figure.fds svg { max-width: 100%; height: auto; }
img { max-width: 100%; border: 1px solid #444; }
@media print { body { font-size: 12pt; max-width: none; }
	h2 { break-after: avoid; } }
)";

std::string
head(const std::string &title)
{
	return "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" "
	       "lang=\"en\">\n<!-- Nothing in this page is fetched. Its "
	       "only URLs name namespaces, which are matched and never "
	       "fetched: the page's, XHTML, and on the figures of "
	       "descriptors SVG's and XLink's. -->\n<head>\n<meta "
	       "charset=\"utf-8\" />\n<title>" +
	       esc(title) + "</title>\n<style>" + style + "</style>\n</head>\n";
}

std::string
section(const std::string &id, const std::string &title,
	const std::string &body)
{
	return "<section id=\"" + id + "\">\n<h2>" + title + "</h2>\n" + body +
	       "</section>\n";
}

// The page's figures as data, for report --compare to read back: the only
// script in the page, and one that never runs.
std::string
foot(const val &d)
{
	return "<script type=\"application/json\" id=\"fdlab-data\">" +
	       json(d) + "</script>\n</body>\n</html>\n";
}

std::string
page(const fs::path &dir, const val &d)
{
	const val &m = d["machine"];
	std::string host = m["host"].s.empty() ? "this machine" : m["host"].s;
	std::vector<std::string> keys;
	keys.reserve(m.o.size());
	for (const auto &x : m.o)
		keys.push_back(x.first);
	std::string r =
		head("fdlab on " + host) +
		"<body>\n<header>\n<h1>What the tour measured on " + esc(host) +
		"</h1>\n<p>Written by <code>bash tour</code> on " + esc(host) +
		(m["date"].s.empty() ? "" : ", " + esc(m["date"].s)) +
		", from the figures in <code>" + esc(dir.string()) +
		"</code>. To make it again, run <code>bash tour</code>. Its "
		"figures are inside it as data too, for <code>bash tour "
		"--compare</code> to set beside another machine's.</p>\n<nav>"
		"<a href=\"#machine\">machine</a> · <a href=\"#copies\">copies"
		"</a> · <a href=\"#latency\">latency</a> · <a href=\"#"
		"descriptors\">descriptors</a> · <a href=\"#programs\">"
		"programs</a> · <a href=\"#firstwin\">firstwin</a> · <a "
		"href=\"#labs\">exercises</a></nav>\n</header>\n<main>\n";
	r += section("machine", "The machine", machinelist(m, keys));
	r += section("copies",
		     "256 KiB copied in 512 write calls, O_SYNC off and on",
		     copytable(d));
	r += section("latency", "What each write took", latency(d["latency"]));
	r += section("descriptors", "Descriptors and open file descriptions",
		     figures(dir, d["fds"]));
	r += section("programs", "What each program showed",
		     findings(d["findings"]));
	r += section("firstwin", "firstwin's window", screenshot(dir));
	r += section("labs", "The exercises", progress(d["labs"]));
	return r + "</main>\n" + foot(d);
}

// The figures a page holds: one machine's, or several where the page is
// itself a comparison.
void
readback(const std::string &file, std::vector<val> &pages)
{
	const std::string tag = "id=\"fdlab-data\">";
	std::string s;
	if (!slurp(file, s))
		die(1, file + ": " + std::strerror(errno));
	std::size_t at = s.find(tag), end = s.find("</script>", at);
	if (at == std::string::npos || end == std::string::npos)
		die(1, file + ": holds no figures as data: not a page of "
			      "report's");
	val d;
	try {
		d = parse(s.substr(at + tag.size(), end - at - tag.size()));
	} catch (const std::runtime_error &e) {
		die(1, file + ": its figures cannot be read, " + e.what());
	}
	for (const val &p :
	     d["pages"].k == val::arr ? d["pages"].a : std::vector<val>{d}) {
		if (p["machine"].k != val::obj)
			die(1, file + ": its figures name no machine");
		pages.push_back(p);
	}
}

// One machine's figures for one copy, in the copy's row.
std::string
copycell(const val *c)
{
	if (!c)
		return "<td class=\"missing\">not measured</td>";
	const val &x = *c;
	return "<td><b>" + show(x["ms"]) + " ms</b>, " + show(x["ms_call"]) +
	       " ms a call<br />" + show(x["calls"]) + " write calls, " +
	       syncname(x["sync"]) + "<br />" +
	       (x["writes"].k == val::null
			? "device writes not counted"
			: show(x["writes"]) + " device writes") +
	       "</td>";
}

// Machines in columns, and in each row the same copy or histogram of
// each, matched by its label.
std::string
sidebyside(const std::vector<std::string> &names, const std::vector<val> &pages)
{
	std::string hosts;
	for (const val &p : pages)
		hosts += (hosts.empty() ? "" : ", ") + p["machine"]["host"].s;
	std::string r = head("fdlab: " + hosts + " side by side") +
			"<body>\n<header>\n<h1>" + esc(hosts) +
			" side by side</h1>\n<p>Each column is one "
			"machine's page, which <code>bash tour</code> made "
			"there; each row, the same copy or histogram on each. "
			"Compared from";
	for (const std::string &f : names)
		r += " <code>" + esc(f) + "</code>";
	r += ". Every page's figures are inside this one as data: it can be "
	     "compared again.</p>\n</header>\n<main>\n";

	std::string cols, heads;
	for (const val &p : pages) {
		cols += "<th>" +
			machinelist(p["machine"],
				    {"host", "os", "kernel", "cpu", "fs",
				     "device", "date"}) +
			"</th>";
		heads += "<th>" + esc(p["machine"]["host"].s) + "</th>";
	}
	auto labels = [&](const char *what) {
		std::vector<std::string> v;
		for (const val &p : pages)
			for (const val &x : p[what].a)
				if (std::find(v.begin(), v.end(),
					      x["label"].s) == v.end())
					v.push_back(x["label"].s);
		return v;
	};
	auto find = [](const val &in, const std::string &label) {
		for (const val &x : in.a)
			if (x["label"].s == label)
				return &x;
		return static_cast<const val *>(nullptr);
	};

	std::string t = "<table class=\"side\"><thead><tr><th>machine</th>" +
			cols + "</tr></thead><tbody>\n";
	for (const std::string &label : labels("copies")) {
		t += "<tr><th>" + esc(label) + "</th>";
		for (const val &p : pages)
			t += copycell(find(p["copies"], label));
		t += "</tr>\n";
	}
	t += "<tr><th>reading</th>";
	for (const val &p : pages)
		t += "<td>" + show(p["readit"], "") + "</td>";
	r += section("copies", "256 KiB copied in 512 write calls",
		     t + "</tr>\n</tbody></table>\n");

	t = "<table class=\"side\"><thead><tr><th>histogram</th>" + heads +
	    "</tr></thead><tbody>\n";
	for (const std::string &label : labels("latency")) {
		std::vector<const val *> row;
		for (const val &p : pages)
			if (const val *h = find(p["latency"], label))
				row.push_back(h);
		std::vector<val> rows = buckets(row);
		t += "<tr><th>" + esc(label) + "</th>";
		for (const val &p : pages) {
			const val *h = find(p["latency"], label);
			t += h ? "<td>" + histogram(*h, rows) + "</td>"
			       : "<td class=\"missing\">not measured</td>";
		}
		t += "</tr>\n";
	}
	r += section("latency", "What each write took",
		     t + "</tbody></table>\n");

	val d(val::obj), all(val::arr);
	all.a = pages;
	d.set("pages", all);
	return r + "</main>\n" + foot(d);
}

} // namespace

int
main(int argc, char *argv[])
{
	bool compare = argc > 1 && std::strcmp(argv[1], "--compare") == 0;
	if (compare ? argc < 4 : argc != 3 || argv[1][0] == '-') {
		std::fprintf(stderr,
			     "report: usage: report dir out.html, or "
			     "report --compare out.html page.html...\n");
		return 2;
	}
	std::string out = argv[2], html;
	if (compare) {
		std::vector<std::string> names(argv + 3, argv + argc);
		std::vector<val> pages;
		for (const std::string &f : names)
			readback(f, pages);
		html = sidebyside(names, pages);
	} else {
		html = page(argv[1], gather(argv[1]));
	}

	FILE *f = std::fopen(out.c_str(), "w");
	if (!f || std::fwrite(html.data(), 1, html.size(), f) != html.size() ||
	    std::fclose(f) != 0)
		die(1, out + ": " + std::strerror(errno));
	return 0;
}
