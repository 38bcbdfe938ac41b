# What both sumprint checks use: the symbols an object or a program has
# that name add, and the newest of the files a build made.

# The symbols of one file (nm's arguments) that name add, C's or C++'s,
# as "type symbol" lines, e.g. "U add" or "T _Z3addii". The raw name is
# what the linker and the loader match; the demangled one tells which are add.
adds() {
	nm -p "$@" 2>/dev/null | awk 'NF >= 2 { print $(NF - 1), $NF }' >syms
	cut -d' ' -f2 syms | c++filt | paste -d' ' syms - | awk '
		{ n = $0; sub(/^[^ ]+ [^ ]+ /, "", n) }
		n ~ /^(.*::)?add(\(|$)/ { print $1, $2 }'
}
# Those of adds' lines that define the symbol, on one line.
defs() { awk '$1 != "U" && $1 != "w" && $1 != "v"' "$1" | paste -sd' '; }
# The newest file (or link) of this name under $bin: an earlier build may
# have left others behind.
built() {
	find "$bin" -name "$1" ! -type d -printf '%T@ %p\n' | sort -rn | head -1 | cut -d' ' -f2-
}
