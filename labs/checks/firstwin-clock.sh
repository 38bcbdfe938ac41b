# firstwin-clock: a label showing the time, set again each second by a
# timer of the event loop's own. The loop still sleeps in poll, now with a
# timeout of at most a second; the window's picture changes as it ticks;
# no thread of the program's own does the ticking.

# The longest poll timeout a one-second timer asks for: Qt lets a coarse
# timer fire up to 5% late.
limit=1100

source "$top/labs/checks/firstwin-run.sh"

# The processor time process $1 has used, all its threads together, in
# clock ticks.
ticks() {
	local s f
	{ read -r s <"/proc/$1/stat"; } 2>/dev/null || { echo 0; return; }
	read -r -a f <<<"${s##*) }"
	echo $((f[11] + f[12]))
}

# The process whose parent is $1.
child() {
	local f s pp
	for f in /proc/[0-9]*/stat; do
		{ read -r s <"$f"; } 2>/dev/null || continue
		read -r _ pp _ <<<"${s##*) }"
		[ "$pp" != "$1" ] || { f=${f#/proc/}; echo "${f%/stat}"; return; }
	done
}

# How many pixels differ between two pictures, as compare counts them
# (newer versions add a fraction after it); empty if it could not tell.
changed() {
	local n
	n=$(compare -metric AE "$1" "$2" null: 2>&1)
	n=${n%% *}
	[[ $n =~ ^[0-9.]+(e[+-]?[0-9]+)?$ ]] && echo "$n"
}

# Whether a count that changed printed is more than none.
some() { [[ ${1%%e*} =~ [1-9] ]]; }

# The names of process $1's threads, sorted, one a line.
threads() { cat /proc/"$1"/task/*/comm 2>/dev/null | sort; }

# Reads strace's lines for the main thread: each poll or ppoll, its
# timeout in ms (-1 for none) and whether it ended by that timeout. Prints
# how many calls there were, how many slept until a timeout between 1 ms
# and the limit, the longest such timeout, and the timeout of the call it
# is in now, the last line, which strace has not finished.
waits() {
	awk -v limit="$limit" '
		function timeout(l, a) {
			if (l ~ /^ppoll\(/) {
				if (match(l, /tv_sec=[0-9]+, tv_nsec=[0-9]+/)) {
					split(substr(l, RSTART, RLENGTH), a, /[=,]/)
					return a[2] * 1000 + int(a[4] / 1000000)
				}
				return -1
			}
			if (match(l, /\], [0-9]+, -?[0-9]+/)) {
				split(substr(l, RSTART, RLENGTH), a, ", ")
				return a[3]
			}
			return ""
		}
		/^p?poll\(/ {
			t = timeout($0)
			if ($0 !~ / = /) { now = t; next }
			calls++
			if ($0 ~ /= 0 \(Timeout\)/ && t > 0 && t <= limit) {
				ticks++
				if (t > longest) longest = t
			}
		}
		END { printf "%d %d %d %s\n", calls, ticks, longest, now == "" ? "none" : now }'
}

# What the check looks at, on the private display.
measure() {
	explain "The window is shown on a private X display, first the project's own firstwin, for the threads Qt starts by itself, then yours, under strace, which notes each poll its main thread makes."

	launch "$tools/firstwin"
	if ! window "$pid"; then
		unmet "the project's own firstwin to show its window" "none came"
		return
	fi
	sleep 0.3
	threads "$pid" >base
	seen "the project's own firstwin runs the threads $(paste -sd' ' base)"
	timeout 5 xdotool windowfocus --sync "$w" 2>/dev/null
	xdotool key ctrl+q
	settle 3

	launch "strace -ff -qq --seccomp-bpf -e trace=poll,ppoll -o trace firstwin > out 2> err"
	if ! window "$pid"; then
		settle 1
		sed 's/^/  /' err | head -20
		unmet "a window titled firstwin" "none within 20 s; it $ended"
		return
	fi
	local p
	p=$(child "$pid")
	if [ ! -f "trace.$p" ]; then
		settle 1
		unmet "firstwin to run under strace" "no trace of it; strace $ended"
		return
	fi
	# Drawn and idle: from now on only the clock should wake it.
	sleep 0.5
	local mark t0 c0 s1 n=0 asleep=0 running=0 others=0 gone=0 i shot
	mark=$(wc -l <"trace.$p")
	t0=$EPOCHREALTIME c0=$(ticks "$p")
	typed "import -window $w 0.png; sleep 1.5; import -window $w 1.png; ..."
	for shot in 0 1 2; do
		import -window "$w" "$shot.png" 2>/dev/null
		[ "$shot" = 2 ] && break
		for ((i = 0; i < 30; i++)); do
			sample "$p"
			n=$((n + 1))
			case $state,$call in
			S,7 | S,271) asleep=$((asleep + 1)) ;;
			,*) gone=$((gone + 1)) ;;
			R,* | *,running) running=$((running + 1)) ;;
			*) others=$((others + 1)) ;;
			esac
			sleep 0.05
		done
	done
	s1=$EPOCHREALTIME
	local c1 ms cpu
	c1=$(ticks "$p")
	ms=$(((${s1/[.,]/} - ${t0/[.,]/}) / 1000))
	cpu=$(((c1 - c0) * 1000 / $(getconf CLK_TCK)))
	threads "$p" >mine
	tail -n "+$((mark + 1))" "trace.$p" >idle

	local where="asleep in poll in $asleep of $n samples, running in $running, in other system calls in $others"
	[ "$gone" = 0 ] || where+=", ended in $gone"
	seen "over $ms ms its main thread was $where"
	[ $((asleep * 4)) -ge $((n * 3)) ] ||
		unmet "the event loop asleep in poll in most samples, woken only by the timer" "$where"
	seen "it used $cpu ms of processor time in those $ms ms"
	[ $((cpu * 100)) -le $((ms * 10)) ] ||
		unmet "a few ms of processor time, as a loop that sleeps uses" \
			"$cpu ms in $ms ms: it spins"

	local calls woke longest now
	read -r calls woke longest now < <(waits <idle)
	if [ "$now" = none ] || [ "$now" -lt 0 ]; then
		now="no timeout"
	else
		now="a timeout of $now ms"
	fi
	local said="its main thread's poll did not return in those $ms ms; the one it sleeps in has $now"
	if [ "$calls" -gt 0 ]; then
		said="of its main thread's $calls polls in those $ms ms, $woke ended at a timeout of 1 to $limit ms"
		[ "$woke" = 0 ] || said+=" (the longest $longest ms)"
		said+="; the one it sleeps in now has $now"
	fi
	seen "$said"
	[ "$woke" -ge 2 ] ||
		unmet "the event loop to sleep in poll until its timer is due, at most a second at a time" "$said"

	local px1 px2
	px1=$(changed 0.png 1.png)
	px2=$(changed 1.png 2.png)
	seen "three screenshots 1.5 s apart (0.png, 1.png, 2.png): ${px1:-?} and ${px2:-?} pixels changed"
	some "$px1" && some "$px2" ||
		unmet "the time in the window to change from one screenshot to the next" \
			"${px1:-?} pixels changed between the first two, ${px2:-?} between the last two"

	local extra
	extra=$(comm -13 base mine | paste -sd' ')
	seen "your firstwin runs the threads $(paste -sd' ' mine)"
	[ -z "$extra" ] ||
		unmet "no thread of your own: the timer runs on the event loop, in the main thread" \
			"threads the project's own firstwin does not have: $extra"

	typed "xdotool key ctrl+q"
	timeout 5 xdotool windowfocus --sync "$w" 2>/dev/null
	xdotool key ctrl+q
	settle 3
}

checkit() {
	export QT_XCB_GL_INTEGRATION=none
	privatedisplay
	measure
}
