# What both sumprint checks use: the symbols an object, a program or a
# library has that name add, and the file a build made.

need nm readelf g++ c++filt env

# The symbols of one file (nm's arguments) that name add, C's or C++'s,
# as "type symbol" lines, e.g. "U add" or "T _Z3addii": the raw name is
# what the linker and the loader match; the decoded one tells which are
# add.
adds() {
	"$nm" -p "$@" 2>/dev/null | awk 'NF >= 2 { print $(NF - 1), $NF }' >syms
	cut -d' ' -f2 syms | "$c__filt" | paste -d' ' syms - | awk '
		{ n = $0; sub(/^[^ ]+ [^ ]+ /, "", n) }
		n ~ /^(.*::)?add(\(|$)/ { print $1, $2 }'
}
# Those of adds' lines, in the file $1, that define the symbol, on one
# line.
defs() { awk '$1 != "U" && $1 != "w" && $1 != "v"' "$1" | paste -sd' '; }
# The file of this name the build made under $bin (its build directory is
# made anew whenever CMakeLists.txt changes, so nothing else is there).
built() {
	find "$bin" -name "$1" ! -type d -printf '%T@ %p\n' | sort -rn | head -1 | cut -d' ' -f2-
}
# Whether the symbol $2 is defined (T or W) in the lines of adds in $1.
defines() { awk -v s="$2" '$1 ~ /^[TW]$/ && $2 == s { f = 1 } END { exit !f }' "$1"; }

# A source of add, under the symbol $1, that multiplies: 3 * 4 is 12.
multiplies() {
	case $1 in
	_Z3addii) echo 'int add(int a, int b) { return a * b; }' ;;
	add) echo 'extern "C" int add(int a, int b) { return a * b; }' ;;
	*) printf 'int add(int a, int b) __asm__("%s");\nint add(int a, int b) { return a * b; }\n' "$1" ;;
	esac
}

# sumprint's line and status, from the last run: whether it printed x is
# $1 and exited 0.
printed() {
	[ "$(cat printed)" = "x is $1" ] && [ "$status" = 0 ]
}
