# sumprint-shared: sumprint needs libfun.so, leaves add undefined for the
# loader to take from it, and a new build of the library alone changes
# what sumprint prints.

req needed "sumprint needs the shared library libfun.so: a NEEDED entry the loader reads at the start"
req undef "sumprint leaves add undefined (U), with no add of its own, for the loader to take from libfun.so"
req libdef "libfun.so defines add (T) under the very name sumprint needs"
req runs "sumprint prints x is 7 and exits with status 0"
req swap "a new libfun.so alone changes what sumprint prints: with one whose add multiplies, the same sumprint, unchanged, prints x is 12"
req sources "main.cpp and fun.cpp stay as they are: only CMakeLists.txt changes"

source "$top/labs/checks/sumprint-run.sh"

# A path as typed in $run.
here() { realpath -s --relative-to="$run" "$1"; }

checkit() {
	local f
	for f in main.cpp fun.cpp; do
		if cmp -s "$src/$f" "$top/sumprint/$f"; then
			met sources
		else
			unmet sources "labs/$name/$f differs from sumprint's own $f: diff sumprint/$f labs/$name/$f"
		fi
	done

	local prog p need= lib= sym def sum run1
	prog=$(built sumprint)
	if [ -z "$prog" ]; then
		unmet needed "no program sumprint in the build directory"
		return
	fi
	p=$(here "$prog")
	typed "readelf -d $p | grep -E 'NEEDED|PATH'"
	"$readelf" -d "$prog" | grep -E 'NEEDED|PATH' | sed 's/^/  /'
	need=$("$readelf" -d "$prog" | sed -n 's/.*(NEEDED).*\[\(libfun\.so[^]]*\)\].*/\1/p' | head -1)
	run1=("$prog")
	if [ -n "$need" ]; then
		met needed "sumprint needs $need: the loader maps it in when sumprint starts"
		lib=$(built "$need")
		# Where the loader would look first: sumprint's RUNPATH, else
		# the directory the library was built in, named to it.
		if [ -z "$lib" ]; then
			unmet needed "the build made no $need"
		elif ! "$readelf" -d "$prog" | grep -q 'R.*PATH'; then
			run1=("$env" "LD_LIBRARY_PATH=$(dirname "$lib")" "$prog")
			seen "sumprint has no RUNPATH to $need: LD_LIBRARY_PATH names its directory"
		fi
	else
		local any
		any=$(find "$bin" -name 'libfun.*' -type f -printf '%f\n' | head -1)
		case $any in
		'') any="and the build made no libfun at all: fun.o is linked into it" ;;
		*.a) any="and the build made $any, a static archive, whose objects the linker copies into the program" ;;
		*) any="though the build made $any" ;;
		esac
		unmet needed "it needs no libfun, $any"
	fi

	typed "nm -D -A $p${lib:+ $(here "$lib")} | grep add"
	"$nm" -D -A "$prog" ${lib:+"$lib"} 2>/dev/null | grep add | sed 's/^/  /'
	adds -D "$prog" >prog.syms
	adds "$prog" >all.syms
	sym=$(awk '$1 == "U" { print $2; exit }' prog.syms)
	def=$(defs all.syms)
	if [ -n "$def" ]; then
		unmet undef "sumprint defines add itself: $def"
	elif [ -z "$sym" ]; then
		unmet undef "sumprint names no add at all"
	else
		met undef "sumprint: U $sym, and no add of its own"
	fi
	if [ -z "$lib" ]; then
		unmet libdef "no libfun.so that sumprint needs, to look in"
	else
		adds -D --defined-only "$lib" >lib.syms
		if [ -n "$sym" ] && defines lib.syms "$sym"; then
			met libdef "$(basename "$lib"): T $sym, the name sumprint needs"
		else
			unmet libdef "it defines $(defs lib.syms | grep . || echo 'no add')${sym:+, and sumprint needs $sym}"
		fi
	fi

	bounded -s "$(astyped "${run1[@]}")" -o printed -- "${run1[@]}"
	seen "it printed $(said printed)"
	if printed 7; then
		met runs
	else
		unmet runs "it printed $(said printed) and $ended"
	fi

	explain "Now a new libfun.so, whose add multiplies, in place of yours: sumprint is not linked again, it only loads the new library when it starts."
	[ -n "$sym" ] || sym=$(awk '{ print $2; exit }' all.syms)
	mkdir -p swap
	multiplies "${sym:-_Z3addii}" >swap/fun.cpp
	typed "g++ -shared -fPIC -Wl,-soname,${need:-libfun.so} -o swap/${need:-libfun.so} swap/fun.cpp"
	"$g__" -shared -fPIC -Wl,-soname,"${need:-libfun.so}" -o "swap/${need:-libfun.so}" swap/fun.cpp ||
		cannot "what a new libfun.so changes: g++ would not build the check's own"
	sum=$(sha256sum <"$prog")
	local swapped=("$env" LD_LIBRARY_PATH=swap "$prog")
	if "$readelf" -d "$prog" | grep -q '(RPATH)'; then
		explain "sumprint has an old-style RPATH, which the loader searches before LD_LIBRARY_PATH: so the loader is started by hand, told to pass over it."
		swapped=("$("$readelf" -l "$prog" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')" --inhibit-rpath '' --library-path swap "$prog")
	fi
	bounded -s "$(astyped "${swapped[@]}")" -o printed -- "${swapped[@]}"
	seen "it printed $(said printed)"
	if [ "$(sha256sum <"$prog")" != "$sum" ]; then
		unmet swap "sumprint itself changed meanwhile"
	elif printed 12; then
		met swap "the same sumprint (sha256 ${sum:0:16}...) now prints 3 * 4: its add is the library's"
	else
		unmet swap "it printed $(said printed) and $ended: what it prints is not libfun.so's add"
	fi
}
