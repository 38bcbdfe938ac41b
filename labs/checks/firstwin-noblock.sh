# firstwin-noblock: the 3 s after a press of Wait pass on a timer of the
# event loop, not in a sleep inside the handler. Meanwhile the main thread
# sleeps in poll and costs nothing; about 3 s after the press the delayed
# line comes, once.

source "$top/labs/checks/firstwin-run.sh"

# The processor time process $1 has used, all its threads together, in ms.
cputime() {
	local s f
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || { echo 0; return; }
	read -r -a f <<<"${s##*) }"
	echo $(((f[11] + f[12]) * 1000 / $(getconf CLK_TCK)))
}

# Milliseconds since $t0, an $EPOCHREALTIME.
since() {
	local now=$EPOCHREALTIME
	echo $(((${now/[.,]/} - ${t0/[.,]/}) / 1000))
}

# What the check looks at, on the private display.
measure() {
	explain "Your firstwin runs on a private X display. The check presses Wait (Alt+W) and, for 7 s or more, samples what its main thread does and watches for the line it prints."
	launch "firstwin > out 2> err"
	if ! window "$pid"; then
		settle 1
		sed 's/^/  /' err | head -20
		unmet "a window titled firstwin" "none within 20 s; it $ended"
		return
	fi
	timeout 5 xdotool windowfocus --sync "$w" 2>/dev/null
	local i
	for ((i = 0; i < 100; i++)); do
		sample "$pid"
		case $state,$call in S,7 | S,271) break ;; esac
		sleep 0.02
	done

	local t0 ms at= c0= c1= first= last= lines end=7000
	local n=0 asleep=0 slept=0 running=0 others=0 gone=0
	typed "xdotool key alt+w"
	t0=$EPOCHREALTIME
	timeout 5 xdotool key alt+w
	while ms=$(since) && [ "$ms" -lt "$end" ]; do
		sample "$pid"
		# Long enough after the first line for a timer that repeats to
		# print again.
		if [ -z "$at" ] && [ "$(wc -l <out)" -gt 0 ]; then
			at=$ms
			[ $((at + 4000)) -le "$end" ] || end=$((at + 4000))
		fi
		# Well after the press, before the 3 s are up.
		if [ "$ms" -ge 500 ] && [ "$ms" -le 2900 ]; then
			[ -n "$c0" ] || c0=$(cputime "$pid") first=$ms
			c1=$(cputime "$pid") last=$ms
			n=$((n + 1))
			case $state,$call in
			S,7 | S,271) asleep=$((asleep + 1)) ;;
			,*) gone=$((gone + 1)) ;;
			*,35 | *,230) slept=$((slept + 1)) ;;
			R,* | *,running) running=$((running + 1)) ;;
			*) others=$((others + 1)) ;;
			esac
		fi
		sleep 0.05
	done
	lines=$(wc -l <out)

	local where="asleep in poll in $asleep of $n samples, in nanosleep or clock_nanosleep in $slept, running in $running, in other system calls in $others"
	[ "$gone" = 0 ] || where+=", ended in $gone"
	seen "from $first to $last ms after the press its main thread was $where"
	if [ "$slept" -gt 0 ]; then
		unmet "the main thread never in a sleep while the 3 s pass: the handler returns at once, and the event loop waits in poll" "$where"
	elif [ $((asleep * 4)) -lt $((n * 3)) ]; then
		unmet "the event loop asleep in poll while the 3 s pass" "$where"
	fi
	local cpu=$((${c1:-0} - ${c0:-0})) span=$((${last:-0} - ${first:-0}))
	seen "it used $cpu ms of processor time in those $span ms"
	[ $((cpu * 100)) -le $((span * 10)) ] ||
		unmet "a few ms of processor time while it waits, as a loop asleep in poll uses" \
			"$cpu ms in $span ms: it spins"

	if [ -z "$at" ]; then
		seen "it printed no line in 7 s"
		unmet "a line about 3 s after the press (the delayed action)" "no line in 7 s"
	else
		seen "its first line came $at ms after the press; $lines in all in $end ms: $(head -3 out | paste -sd' ')"
		[ "$at" -ge 2000 ] && [ "$at" -le 6000 ] ||
			unmet "the line about 3 s after the press, between 2 and 6 s" "it came after $at ms"
		[ "$lines" -eq 1 ] ||
			unmet "one line for one press" "$lines lines in $end ms"
	fi

	typed "xdotool key ctrl+q"
	xdotool key ctrl+q
	settle 3
}

checkit() {
	export QT_XCB_GL_INTEGRATION=none
	privatedisplay
	measure
}
