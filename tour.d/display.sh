# A private X display for the windows to come, for the tour and the labs:
# whoever sources this ends it, by xpid. Without -noreset it resets
# whenever its last client leaves, and refuses the next one meanwhile.
xpid=
privatedisplay() {
	local i
	# Without the caller's lock (descriptor 9): a server left behind
	# must not keep the next tour or check waiting.
	Xvfb -displayfd 5 -nolisten tcp -noreset -screen 0 800x600x24 5>"$scratch/display" 2>/dev/null 9>&- &
	xpid=$!
	for i in $(seq 500); do [ -s "$scratch/display" ] && break; sleep 0.01; done
	[ -s "$scratch/display" ] || return 1
	export DISPLAY=:$(cat "$scratch/display")
	export XDG_RUNTIME_DIR=$scratch
}
