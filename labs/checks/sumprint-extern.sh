# sumprint-extern: main.o asks for add under the very name fun.o defines
# it by, and the linker joins the two.

req mainu "main.o leaves add undefined (U): main calls the add that fun.o holds, and holds none of its own"
req funt "fun.o defines add (T) under the very name main.o asks for: C's add or C++'s _Z3addii"
req calls "main prints what add returns: linked with another fun.o, whose add multiplies, the same main.o prints x is 12"
req runs "sumprint prints x is 7 and exits with status 0"

source "$top/labs/checks/sumprint-run.sh"

checkit() {
	local mo fo prog need own def
	mo=$(built main.cpp.o)
	fo=$(built fun.cpp.o)
	prog=$(built sumprint)
	if [ -z "$mo" ] || [ -z "$fo" ]; then
		unmet mainu "the build made $(cd "$bin" && find . -name '*.o' | paste -sd' ' | grep . || echo 'no object')" \
			"sumprint built from two objects, main.cpp.o and fun.cpp.o"
		return
	fi
	cp "$mo" main.o
	cp "$fo" fun.o
	typed 'nm -A main.o fun.o | grep add'
	"$nm" -A main.o fun.o | grep add | sed 's/^/  /'
	typed 'nm -AC main.o fun.o | grep add'
	"$nm" -AC main.o fun.o | grep add | sed 's/^/  /'
	explain "U: the object calls it and holds no code for it; T: its code is in the object's text. The linker joins a U to a T of the same name, and C++ names are encoded (nm -C decodes them): add is C's name, _Z3addii C++'s for add(int, int)."

	adds main.o >main.syms
	adds fun.o >fun.syms
	need=$(awk '$1 == "U" { print $2; exit }' main.syms)
	own=$(defs main.syms)
	if [ -n "$own" ]; then
		unmet mainu "main.o defines add itself: $own"
	elif [ -z "$need" ]; then
		unmet mainu "main.o names no add at all: the sum is not fun.o's"
	else
		met mainu "main.o: U $need, and no add of its own"
	fi
	def=$(defs fun.syms)
	if [ -z "$def" ]; then
		unmet funt "fun.o defines no add"
	elif [ -n "$need" ] && ! defines fun.syms "$need"; then
		unmet funt "fun.o defines $def, and main.o asks for $need"
	else
		met funt "fun.o: $def${need:+, the name main.o asks for}"
	fi

	if [ -n "$need" ]; then
		explain "Now main.o linked with a fun.o of the check's own, whose add multiplies: what main prints must be what add returns."
		multiplies "$need" >times.cpp
		typed 'g++ -c times.cpp && g++ -o times main.o times.o'
		if "$g__" -c times.cpp 2>&1 && "$g__" -o times main.o times.o 2>&1; then
			bounded -o printed -- "$run/times"
			seen "it printed $(said printed)"
			if printed 12; then
				met calls "main.o with the check's add: x is 12"
			else
				unmet calls "it printed $(said printed) and $ended"
			fi
		else
			unmet calls "main.o would not link with a fun.o that defines $need alone"
		fi
	else
		unmet calls "main.o calls no add to take from another object"
	fi

	if [ -z "$prog" ]; then
		unmet runs "no program sumprint in the build"
		return
	fi
	adds "$prog" >prog.syms
	seen "sumprint, linked: $(defs prog.syms)"
	bounded -s sumprint -o printed -- "$prog"
	seen "it printed $(said printed)"
	if printed 7; then
		met runs
	else
		unmet runs "it printed $(said printed) and $ended"
	fi
}
