# What every part of the tour uses: showing a command and running it in
# the scratch directory, explaining, and keeping each part's finding for
# the summary at the end.

if [ -t 1 ]; then
	bold=$'\e[1m' dim=$'\e[2m' cyan=$'\e[36m' red=$'\e[31m' off=$'\e[0m'
else
	bold= dim= cyan= red= off=
fi
trap 'echo "${red}${0##*/}: failed at line $LINENO of ${BASH_SOURCE[0]}: $BASH_COMMAND${off}" >&2' ERR

scratch=
xpid=
finish() {
	[ -z "$xpid" ] || kill "$xpid" 2>/dev/null || true
	[ -n "$scratch" ] || return 0
	if $keep; then
		echo "The scratch directory is kept: $scratch"
	else
		rm -rf "$scratch"
	fi
}

# A private X display for the windows to come, ended by finish. Without
# -noreset it resets whenever its last client leaves, and refuses the
# next one meanwhile.
privatedisplay() {
	local i
	Xvfb -displayfd 5 -nolisten tcp -noreset -screen 0 800x600x24 5>"$scratch/display" 2>/dev/null &
	xpid=$!
	for i in $(seq 500); do [ -s "$scratch/display" ] && break; sleep 0.01; done
	export DISPLAY=:$(cat "$scratch/display")
	export XDG_RUNTIME_DIR=$scratch
}

# The system call process $1 is in, as /proc/PID/syscall has it. Read by
# this shell, its ancestor: where Yama restricts ptrace (ptrace_scope 1,
# as on Ubuntu), a program this shell starts to read it, cat say, is
# refused.
syscallof() { read -r REPLY <"/proc/$1/syscall" && echo "$REPLY"; }

# The state of process $1 (R, S, Z, ...), empty once it is gone.
pstate() {
	local s
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || return 0
	s=${s##*) }
	echo "${s%% *}"
}

heading() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$off"; }
# Shows a command as typed, then runs it in the scratch directory; what it
# printed, standard error too, is kept in $scratch/said for a closer look.
show() {
	printf '%s$ %s%s\n' "$cyan" "$1" "$off"
	(cd "$scratch" && eval "$1") 2>&1 | tee "$scratch/said"
}
# Like show, for a command that fails on purpose: says how it ended.
showfails() { show "$1" || echo "(exit status $?)"; }
# Shows a command as typed without running it: the part runs it itself.
typed() { printf '%s$ %s%s\n' "$cyan" "$1" "$off"; }
explain() { printf '%s%s%s\n' "$dim" "$*" "$off" | fold -s -w 76 | sed 's/ *$//'; }
fact() { printf '%s-> %s%s\n' "$bold" "$*" "$off"; }
# One line of the summary: the program, what it showed, and the evidence.
finding() { printf '%-10s %s\n' "$1" "$2" >>"$scratch/findings"; }

summary() {
	heading "summary: what the tour measured on this machine"
	if [ -s "$scratch/copies" ]; then
		copytable
	fi
	cat "$scratch/findings"
}
