# sumprint-extern: main.o asks for add under the very name fun.o defines
# it by, and the linker joins the two.

source "$top/labs/checks/sumprint-run.sh"

checkit() {
	local mo fo prog need own def
	mo=$(built main.cpp.o)
	fo=$(built fun.cpp.o)
	prog=$(built sumprint)
	if [ -z "$mo" ] || [ -z "$fo" ] || [ -z "$prog" ]; then
		unmet "sumprint built from two objects, main.cpp.o and fun.cpp.o" \
			"$(cd "$bin" && find . -name '*.o' -o -name sumprint -type f | paste -sd' ')"
		return
	fi
	cp "$mo" main.o
	cp "$fo" fun.o
	show 'nm -A main.o fun.o | grep add'
	show 'nm -AC main.o fun.o | grep add'
	explain "U: the object calls it and holds no code for it; T: its code is in the object's text. The linker joins a U to a T of the same name, and C++ names are encoded (nm -C decodes them): add is C's name, _Z3addii C++'s for add(int, int)."

	adds main.o >main.syms
	adds fun.o >fun.syms
	need=$(awk '$1 == "U" { print $2; exit }' main.syms)
	own=$(defs main.syms)
	if [ -n "$own" ]; then
		unmet "main.o to leave add undefined (U), for the linker to take from fun.o" \
			"main.o defines add itself: $own"
	elif [ -z "$need" ]; then
		unmet "main.o to call add, left undefined (U) for the linker to take from fun.o" \
			"main.o names no add at all: the sum is not fun.cpp's"
	else
		seen "main.o: U $need, and no add of its own"
	fi
	def=$(defs fun.syms)
	if [ -z "$def" ]; then
		unmet "fun.o to define add" "fun.o defines no add"
	elif [ -n "$need" ] && ! awk -v s="$need" '$1 ~ /^[TW]$/ && $2 == s { f = 1 } END { exit !f }' fun.syms; then
		unmet "fun.o to define $need, the name main.o asks for" "fun.o defines $def"
	else
		seen "fun.o: $def${need:+, the name main.o needs}"
	fi

	adds "$prog" >prog.syms
	seen "sumprint, linked: $(defs prog.syms)"
	bounded 5 "$(realpath --relative-to="$run" "$prog") > printed"
	seen "it printed: $(paste -sd'|' printed)"
	if [ "$(cat printed)" != "x is 7" ] || [ "$status" -ne 0 ]; then
		unmet "sumprint to print x is 7 and exit 0" \
			"it printed '$(paste -sd'|' printed)' and $ended"
	fi
}
