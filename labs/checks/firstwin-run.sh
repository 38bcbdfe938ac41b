# What both firstwin checks use: a private display, the project's own
# firstwin for the threads Qt starts by itself, the learner's under strace
# with labeltext loaded, its window, and where its main thread is.

need strace xdotool import compare
export QT_XCB_GL_INTEGRATION=none

# Waits at most 20 s for a visible window titled firstwin while what
# launch started runs, and sets w to it.
window() {
	local i
	w=
	for ((i = 0; i < 200; i++)); do
		w=$("$xdotool" search --onlyvisible --name '^firstwin$' 2>/dev/null | head -1)
		[ -z "$w" ] || return 0
		[ -e "$report.report" ] && return 1
		sleep 0.1
	done
	return 1
}

# The names of process $1's threads, sorted, one a line.
threads() { cat /proc/"$1"/task/*/comm 2>/dev/null | sort; }

# The threads the project's own firstwin runs, Qt's own, into base; kept
# with the checksum of the firstwin that ran them, for the next check.
baseline() {
	local kept
	kept=$top/build/lab/threads.$(cut -c1-16 "$tools/firstwin.sha256" 2>/dev/null)
	if [ -s "$kept" ]; then
		cp "$kept" base
	else
		launch -t 30 -s firstwin -- "$tools/firstwin"
		window || cannot "the threads Qt starts by itself: the project's own firstwin showed no window"
		sleep 0.3
		threads "$pid" >base
		quit
		[ -s base ] && cp base "$kept" 2>/dev/null
	fi
	seen "the project's own firstwin runs the threads $(paste -sd' ' base)"
}

# Starts the learner's firstwin under strace, which notes the calls $1
# (with their time and how long they took) of all its threads, and with
# labeltext, which notes the texts it gives a QLabel in labels. The
# loader splits LD_PRELOAD at blanks, so labeltext goes by its name, and
# LD_LIBRARY_PATH, split at colons only, says where it is. Sets main
# to firstwin's own process, once its window is there; fails where none
# came.
startwin() {
	explain "Your firstwin runs on a private X display, under strace, which notes its calls $1, and with labeltext, which notes each text it gives a label."
	launch -t 40 -o out -e err -S trace -s "strace -f -ttt -T -e trace=$1 -o trace firstwin" -- \
		"$strace" -f -ttt -T -q --seccomp-bpf -e trace="execve,$1" \
		-E LD_PRELOAD=liblabeltext.so -E LD_LIBRARY_PATH="$tools" \
		-E LABELTEXT="$run/labels" \
		-o trace firstwin
	if ! window; then
		settle
		shown err
		return 1
	fi
	main=$(cat /proc/"$pid"/task/*/children 2>/dev/null | awk '{ print $1 }')
	[ -n "$main" ] || cannot "your firstwin's process: strace ran no child"
	timeout -k 1 5 "$xdotool" windowfocus --sync "$w" 2>/dev/null 9>&-
	return 0
}

# Closes the window with Ctrl+Q, and waits for the end.
quit() {
	typed "xdotool key ctrl+q"
	timeout 5 "$xdotool" windowfocus --sync "$w" 2>/dev/null
	"$xdotool" key ctrl+q
	settle
}

# The trace, read into calls.tsv; sets nsmain to the main thread's pid as
# strace saw it (the one that ran execve).
readwin() {
	typed "strace -f -ttt -T -o trace firstwin"
	readtrace calls.tsv trace
	nsmain=$(awk -F'\t' '$3 == "execve" { print $1; exit }' calls.tsv)
	[ -n "$nsmain" ] || cannot "what firstwin did: its trace holds no execve"
}

# How many pixels differ between two pictures, as compare counts them
# (newer versions add a fraction after it); empty if it could not tell.
changed() {
	local n
	n=$("$compare" -metric AE "$1" "$2" null: 2>&1)
	n=${n%% *}
	[[ $n =~ ^[0-9.]+(e[+-]?[0-9]+)?$ ]] && echo "$n"
}

# Requirement $1 on what a process cost: a few ms of processor time, $2
# ms of it used over $3 ms, as a loop that sleeps uses; one that spins uses
# them all. $2 is empty where the process had ended.
costs() {
	if [ -z "$2" ]; then
		unmet "$1" "it had ended"
	elif [ $(($2 * 100)) -le $(($3 * 10)) ]; then
		met "$1" "it used $2 ms of processor time in those $3 ms"
	else
		unmet "$1" "$2 ms of processor time in $3 ms: it spins"
	fi
}

# Milliseconds since $t0, an $EPOCHREALTIME.
since() {
	local now=$EPOCHREALTIME
	echo $(((${now/[.,]/} - ${t0/[.,]/}) / 1000))
}
