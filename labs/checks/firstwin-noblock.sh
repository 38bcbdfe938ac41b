# firstwin-noblock: the 3 s after a press of Wait pass on a timer of the
# event loop, not in the handler. The handler returns at once, so a second
# press is handled in its turn; meanwhile the main thread sleeps in poll
# and costs nothing; 3 s after each press the event loop calls done(), on
# the main thread, once.

req returns "the handler returns at once: a second press, 1 s after the first, is handled in its turn, and its line comes about 1 s after the first's (0.5 to 1.5 s)"
req delay "done() is called 3 s after each press: each line between 2.5 and 4 s after its press"
req asleep "while it waits the event loop sleeps in poll: the main thread is asleep in poll (or ppoll) in nearly every sample, and never in nanosleep or clock_nanosleep"
req cpu "while it waits it costs nothing: a few ms of processor time, not a loop that spins"
req mainthread "done() is called by the event loop, on the main thread: the line is written and the label set by the main thread, and no thread of your own runs"
req once "one line for each press, and no more"
req done "done() stays as it is: it sets the label to \"Done, 3 s after the press.\" and prints done"

source "$top/labs/checks/firstwin-run.sh"

# Presses Wait with its shortcut, Alt+W; sets pressed to when, in
# seconds since the epoch.
press() {
	typed "xdotool key alt+w"
	timeout 5 "$xdotool" key alt+w
	pressed=${EPOCHREALTIME/,/.}
}

checkit() {
	privatedisplay || cannot "anything: Xvfb gave no display"
	baseline
	if ! startwin write,nanosleep,clock_nanosleep; then
		local id
		for id in returns delay asleep cpu mainthread once done; do
			unmet "$id" "no window titled firstwin within 20 s; it $ended"
		done
		return
	fi
	local i
	for ((i = 0; i < 100; i++)); do
		sample "$main"
		case $state,$call in S,poll | S,ppoll) break ;; esac
		sleep 0.02
	done
	explain "The check presses Wait twice, 1 s apart, samples what the main thread does until the first 3 s are up, and watches for the lines for 6 s, and 3.5 s past the last one."
	local t0 p1 p2= pressed ms c0= c1= first= last= end=6000 lines=0
	local n=0 asleep=0 slept=0 running=0 others=0 gone=0
	t0=$EPOCHREALTIME
	press
	p1=$pressed
	while ms=$(since) && [ "$ms" -lt "$end" ]; do
		if [ -z "$p2" ] && [ "$ms" -ge 1000 ]; then
			press
			p2=$pressed
			continue
		fi
		# Long enough after a line for a timer that repeats to print
		# again.
		if [ "$(wc -l <out)" -gt "$lines" ]; then
			lines=$(wc -l <out)
			[ $((ms + 3500)) -le "$end" ] || end=$((ms + 3500))
			[ "$end" -le 9000 ] || end=9000
		fi
		sample "$main"
		# Well after the first press, before its 3 s are up.
		if [ "$ms" -ge 500 ] && [ "$ms" -le 2900 ]; then
			[ -n "$c0" ] || c0=$(cputime "$main") first=$ms
			c1=$(cputime "$main") last=$ms
			n=$((n + 1))
			case $state,$call in
			S,poll | S,ppoll) asleep=$((asleep + 1)) ;;
			,*) gone=$((gone + 1)) ;;
			*,nanosleep | *,clock_nanosleep) slept=$((slept + 1)) ;;
			R,* | *,running) running=$((running + 1)) ;;
			*) others=$((others + 1)) ;;
			esac
			[ "$ms" -lt 1500 ] || [ -s mine ] || threads "$main" >mine
		fi
		sleep 0.05
	done
	quit
	readwin

	local where="asleep in poll in $asleep of $n samples, in nanosleep or clock_nanosleep in $slept, running in $running, in other system calls in $others"
	[ "$gone" = 0 ] || where+=", ended in $gone"
	if [ "$slept" -gt 0 ]; then
		unmet asleep "the main thread slept in nanosleep or clock_nanosleep in $slept of $n samples: $where"
	elif [ $((asleep * 4)) -lt $((n * 3)) ]; then
		unmet asleep "$where"
	else
		met asleep "from $first to $last ms after the first press its main thread was $where"
	fi
	costs cpu "${c1:+$((c1 - ${c0:-0}))}" $((${last:-0} - ${first:-0}))

	# Its lines on standard output, as strace saw them written: when, and
	# by which thread.
	lines=$(awk -F'\t' '$3 == "write" && $6 == "1" && $4 > 0 {
		d = $8; sub(/^[^"]*"/, "", d); sub(/"[^"]*$/, "", d)
		print $2 "\t" $1 "\t" d }' calls.tsv)
	local count at1= at2= tids texts
	count=$(printf '%s\n' "$lines" | grep -c .)
	seen "it wrote $count lines: $(printf '%s\n' "$lines" | awk -F'\t' -v p="$p1" 'NF { printf "%s%s %.2f s after the first press", sep, $3, $1 - p; sep = "; " }')"
	at1=$(printf '%s\n' "$lines" | awk -F'\t' -v p="$p1" 'NR == 1 && NF { printf "%.2f", $1 - p }')
	at2=$(printf '%s\n' "$lines" | awk -F'\t' -v p="$p2" 'NR == 2 && NF { printf "%.2f", $1 - p }')
	local late
	late=$(printf '%s\n' "$lines" | awk -F'\t' -v p="${p2:-0}" 'NF && $1 > p + 4.5 { printf "%.2f", $1 - p; exit }')
	if [ -n "$late" ]; then
		unmet once "a line came $late s after the second press, when no press was waiting for one"
	elif [ "$count" = 2 ]; then
		met once "two lines for two presses"
	else
		unmet once "$count lines for two presses"
	fi
	if [ -n "$at1" ] && [ -n "$at2" ] &&
		awk -v a="$at1" -v b="$at2" 'BEGIN { exit !(a >= 2.5 && a <= 4 && b >= 2.5 && b <= 4) }'; then
		met delay "the lines came $at1 s after the first press and $at2 s after the second"
	else
		if [ -z "$at1" ]; then
			unmet delay "no line came"
		else
			unmet delay "the first line came $at1 s after its press${at2:+, the second $at2 s after its press}"
		fi
	fi
	local gap
	gap=$(printf '%s\n' "$lines" | awk -F'\t' 'NR == 1 { a = $1 } NR == 2 { printf "%.2f", $1 - a }')
	if [ -n "$gap" ] && awk -v g="$gap" 'BEGIN { exit !(g >= 0.5 && g <= 1.5) }'; then
		met returns "the second line came $gap s after the first, as the presses did"
	else
		if [ -n "$gap" ]; then
			unmet returns "the second line came $gap s after the first: the second press waited for the first handler to return"
		else
			unmet returns "not two lines to compare"
		fi
	fi

	# Who wrote the lines, who set the label, and which threads ran.
	tids=$(printf '%s\n' "$lines" | awk -F'\t' -v m="$nsmain" 'NF && $2 != m { print $2 }' | sort -u | paste -sd' ')
	texts=$(awk -F'\t' '$3 ~ /^Done/' labels 2>/dev/null)
	local extra
	extra=$(comm -13 base mine 2>/dev/null | paste -sd' ')
	local bad=
	[ -z "$tids" ] || bad+="the lines were written by thread $tids, not the main thread $nsmain; "
	if [ -n "$texts" ]; then
		local settid
		settid=$(printf '%s\n' "$texts" | awk -F'\t' 'NF { print $2 }' | sort -u | paste -sd' ')
		[ "$settid" = "$nsmain" ] || bad+="the label was set by thread $settid, not the main thread $nsmain; "
	fi
	[ -z "$extra" ] || bad+="threads the project's own firstwin does not have: $extra; "
	if [ -z "$bad" ] && [ "$count" -gt 0 ]; then
		met mainthread "the lines were written and the label set by the main thread; no thread of its own ran"
	elif [ -n "$bad" ]; then
		unmet mainthread "${bad%; }"
	else
		unmet mainthread "no line was written"
	fi

	local wrote
	wrote=$(printf '%s\n' "$lines" | awk -F'\t' 'NF { print $3 }' | sort -u | paste -sd'|')
	if [ "$wrote" = 'done\n' ] && [ -n "$texts" ] &&
		[ "$(printf '%s\n' "$texts" | cut -f3 | sort -u)" = "Done, 3 s after the press." ]; then
		met done "it printed done and set the label to \"Done, 3 s after the press.\""
	else
		unmet done "it printed ${wrote:-nothing}; it set the label to $(printf '%s\n' "$texts" | cut -f3 | sort -u | paste -sd'|' | grep . || echo nothing)"
	fi
}
