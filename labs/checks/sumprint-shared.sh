# sumprint-shared: sumprint needs libfun.so, leaves add undefined for the
# loader to take from it, and a new build of the library alone changes
# what sumprint prints.

source "$top/labs/checks/sumprint-run.sh"
# A path as typed in $run.
here() { realpath -s --relative-to="$run" "$1"; }

# A libfun.so of the check's own, under the name sumprint looks for,
# whose add multiplies: 3 * 4 is 12.
newlib() {
	mkdir -p swap
	case $2 in
	_Z3addii) echo 'int add(int a, int b) { return a * b; }' ;;
	add) echo 'extern "C" int add(int a, int b) { return a * b; }' ;;
	*) printf 'int add(int a, int b) __asm__("%s");\nint add(int a, int b) { return a * b; }\n' "$2" ;;
	esac >swap/fun.cpp
	show "g++ -shared -fPIC -Wl,-soname,$1 -o swap/$1 swap/fun.cpp"
}

checkit() {
	local prog p need='' lib='' any run1 sym def sum swapped
	prog=$(built sumprint)
	if [ -z "$prog" ]; then
		unmet "a program sumprint built" "none under the build directory"
		return
	fi
	p=$(here "$prog")

	show "readelf -d $p | grep -E 'NEEDED|PATH'"
	need=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(libfun\.so[^]]*\)\].*/\1/p' | head -1)
	run1=$p
	if [ -n "$need" ]; then
		seen "sumprint needs $need: the loader maps it in when sumprint starts"
		bounded 5 "ldd $p > loaded"
		lib=$(sed -n "s/^[[:space:]]*$need => \(.*\) (0x.*/\1/p" loaded)
		if [ -z "$lib" ] || [ ! -e "$lib" ]; then
			lib=$(built "$need")
			run1="env LD_LIBRARY_PATH=$(here "$(dirname "$lib")") $p"
			seen "the loader does not find $need by itself: sumprint has no RUNPATH to it, so LD_LIBRARY_PATH names its directory"
		else
			seen "the loader finds it as $(here "$lib")"
		fi
	else
		any=$(find "$bin" -name 'libfun.*' -type f -printf '%T@ %f\n' | sort -rn | head -1 | cut -d' ' -f2)
		case $any in
		'') any="and there is none in the build directory: fun.o is linked into it" ;;
		*.a) any="and the build holds $any, a static archive, whose objects the linker copies into the program" ;;
		*) any="though the build holds $any" ;;
		esac
		unmet "sumprint to need the shared library libfun.so (NEEDED)" "it needs no libfun, $any"
	fi

	show "nm -D -A $p${lib:+ $(here "$lib")} | grep add"
	adds -D "$prog" >prog.syms
	adds "$prog" >all.syms
	sym=$(awk '$1 == "U" { print $2; exit }' prog.syms)
	def=$(defs all.syms)
	if [ -n "$def" ]; then
		show "nm -A $p | grep add"
		unmet "sumprint to leave add undefined (U), for the loader to take from libfun.so" \
			"sumprint defines add itself: $def"
	elif [ -z "$sym" ]; then
		unmet "sumprint to call add, left undefined (U) for the loader" "sumprint names no add at all"
	else
		seen "sumprint: U $sym, and no add of its own"
	fi
	if [ -n "$lib" ]; then
		adds -D --defined-only "$lib" >lib.syms
		if [ -n "$sym" ] && awk -v s="$sym" '$1 ~ /^[TW]$/ && $2 == s { f = 1 } END { exit !f }' lib.syms; then
			seen "$(basename "$lib"): T $sym, the name sumprint needs"
		else
			unmet "$(basename "$lib") to define ${sym:-add}" "it defines $(defs lib.syms | grep . || echo 'no add')"
		fi
	fi

	bounded 5 "$run1 > printed"
	seen "it printed: $(paste -sd'|' printed)"
	if [ "$(cat printed)" != "x is 7" ] || [ "$status" -ne 0 ]; then
		unmet "sumprint to print x is 7 and exit 0" "it printed '$(paste -sd'|' printed)' and $ended"
	fi

	explain "Now a new libfun.so, whose add multiplies, in place of yours: sumprint is not linked again, it only loads the new library when it starts."
	[ -n "$sym" ] || sym=$(awk '{ print $2; exit }' all.syms)
	newlib "${need:-libfun.so}" "${sym:-_Z3addii}"
	sum=$(sha256sum <"$prog")
	swapped="env LD_LIBRARY_PATH=swap $p"
	if readelf -d "$prog" | grep -q '(RPATH)'; then
		explain "sumprint has an old-style RPATH, which the loader searches before LD_LIBRARY_PATH: so the loader is started by hand, told to pass over it."
		swapped="$(readelf -l "$prog" | sed -n 's/.*interpreter: \(.*\)\]/\1/p') --inhibit-rpath '' --library-path swap $p"
	fi
	bounded 5 "$swapped > printed"
	seen "it printed: $(paste -sd'|' printed)"
	if [ "$(sha256sum <"$prog")" != "$sum" ]; then
		unmet "sumprint itself to stay as it was" "it changed meanwhile"
	elif [ "$(cat printed)" = "x is 12" ]; then
		seen "the same sumprint (sha256 ${sum:0:16}...) now prints 3 * 4: its add is the library's"
	else
		unmet "sumprint, unchanged, to print x is 12 with the new libfun.so" \
			"it printed '$(paste -sd'|' printed)': what it prints is not libfun.so's add"
	fi
}
