# What both firstwin checks use: finding the window, and where a thread
# of it is.

# Waits at most 20 s for a visible window titled firstwin while process
# $1 runs, and sets w to it.
window() {
	local i
	w=
	for ((i = 0; i < 200; i++)); do
		w=$(xdotool search --onlyvisible --name '^firstwin$' 2>/dev/null | head -1)
		[ -z "$w" ] || return 0
		case $(pstate "$1") in '' | Z) return 1 ;; esac
		sleep 0.1
	done
	return 1
}

# Sets state and call to thread $1's state and the system call it is in.
# Read by this shell itself, not by a command it starts: where Yama
# restricts ptrace, only an ancestor may read /proc/PID/syscall.
sample() {
	local s
	state= call=
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || return
	s=${s##*) }
	state=${s%% *}
	{ read -r call _ <"/proc/$1/syscall"; } 2>/dev/null
}
