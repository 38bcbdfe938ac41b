# firstwin-clock: a label showing the time, set again each second by a
# timer of the event loop's own. The loop sleeps in poll between ticks,
# with a timeout that brings it back each second; the window's picture
# changes as it ticks; no thread of the program's own does the ticking.

req asleep "between ticks the event loop sleeps in poll: the main thread is asleep in poll (or ppoll) in nearly every sample"
req cpu "between ticks the program does nothing: a few ms of processor time, as a loop that sleeps uses, not a loop of its own"
req period "a timer of the event loop fires each second: the main thread's polls end at their timeout about a second apart (0.85 to 1.15 s: Qt lets such a timer be 5% early or late)"
req text "at each tick the label is set to the current time, to the second, as it shows it now (HH:MM:SS)"
req shows "the label stays in the window: the time there changes from one screenshot to the next, 1.5 s apart"
req nothread "no thread of your own: your firstwin runs only the threads the project's own runs, Qt's"

source "$top/labs/checks/firstwin-run.sh"

checkit() {
	privatedisplay || cannot "anything: Xvfb gave no display"
	baseline
	if ! startwin poll,ppoll; then
		local id
		for id in asleep cpu period text shows nothread; do
			unmet "$id" "no window titled firstwin within 20 s; it $ended"
		done
		return
	fi
	# Drawn and idle: from now on only the clock should wake it.
	sleep 0.5
	local t0=$EPOCHREALTIME c0 c1 n=0 asleep=0 running=0 others=0 gone=0 i shot
	c0=$(cputime "$main")
	typed "import -window $w 0.png; sleep 1.5; import -window $w 1.png; ..."
	for shot in 0 1 2; do
		# Bounded: where the program keeps the display busy, import
		# (ImageMagick 7's, at least) may wait on for it past any end.
		timeout -k 1 10 "$import" -window "$w" "$shot.png" 2>/dev/null 9>&- || rm -f "$shot.png"
		[ "$shot" = 2 ] && break
		for ((i = 0; i < 30; i++)); do
			sample "$main"
			n=$((n + 1))
			case $state,$call in
			S,poll | S,ppoll) asleep=$((asleep + 1)) ;;
			,*) gone=$((gone + 1)) ;;
			R,* | *,running) running=$((running + 1)) ;;
			*) others=$((others + 1)) ;;
			esac
			sleep 0.05
		done
	done
	local ms t1=$EPOCHREALTIME
	ms=$(since)
	c1=$(cputime "$main")
	threads "$main" >mine
	quit
	readwin

	local where="asleep in poll in $asleep of $n samples, running in $running, in other system calls in $others"
	[ "$gone" = 0 ] || where+=", ended in $gone"
	if [ $((asleep * 4)) -ge $((n * 3)) ]; then
		met asleep "over $ms ms its main thread was $where"
	else
		unmet asleep "its main thread was $where"
	fi
	costs cpu "${c1:+$((c1 - ${c0:-0}))}" "$ms"

	# The main thread's polls in the window, as strace timed them: when
	# each that ended at its timeout ended, and the gaps between them.
	local gaps
	gaps=$(awk -F'\t' -v p="$nsmain" -v a="${t0/,/.}" -v b="${t1/,/.}" '
		$1 == p && $3 ~ /^p?poll$/ && $4 == "0" && $9 ~ /Timeout/ {
			d = $9; sub(/.*dur=/, "", d); sub(/[^0-9.].*/, "", d)
			end = $2 + d
			if (end < a || end > b) next
			if (last) printf "%.3f\n", end - last
			last = end
		}' calls.tsv)
	local count bad said
	count=$(printf '%s\n' "$gaps" | grep -c .)
	bad=$(printf '%s\n' "$gaps" | awk 'NF && ($1 < 0.85 || $1 > 1.15)' | wc -l)
	if [ "$count" = 0 ]; then
		said="its polls ended at their timeout at most once in those $ms ms"
	else
		said="its polls ended at their timeout $((count + 1)) times, $(printf '%s\n' "$gaps" | grep . | awk '
			NR <= 5 { s = s sep $1; sep = ", " } { if (NR == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1 }
			END { print s (NR > 5 ? ", ... (" NR " gaps, from " lo " to " hi ")" : "") }') s apart"
	fi
	if [ "$count" -ge 1 ] && [ "$bad" = 0 ]; then
		met period "over $ms ms $said"
	else
		unmet period "$said"
	fi

	# The texts it gave its label in the window, each against the time
	# it was given, to the second.
	local texts wrong
	texts=$(awk -F'\t' -v a="${t0/,/.}" -v b="${t1/,/.}" '$1 >= a && $1 <= b' labels 2>/dev/null)
	wrong=$(while IFS=$'\t' read -r at tid said; do
		[ -n "$at" ] || continue
		local s=${at%.*}
		case $said in
		"$(date -d "@$s" +%T)" | "$(date -d "@$((s - 1))" +%T)") ;;
		*) printf '%s at %s; ' "'$said'" "$(date -d "@$s" +%T)" ;;
		esac
	done <<<"$texts")
	local sets
	sets=$(printf '%s\n' "$texts" | grep -c .)
	seen "it set its label $sets times in those $ms ms: $(printf '%s\n' "$texts" | cut -f3 | head -4 | paste -sd' ')"
	if [ "$sets" -ge 2 ] && [ -z "$wrong" ]; then
		met text "each time to the time it was set, to the second"
	elif [ -n "$wrong" ]; then
		unmet text "it set it to ${wrong%; }"
	else
		unmet text "it set its label $sets times in $ms ms"
	fi

	local px1 px2 missing=
	px1=$(changed 0.png 1.png)
	px2=$(changed 1.png 2.png)
	for shot in 0 1 2; do
		[ -s "$shot.png" ] || missing+="${missing:+ }$shot.png"
	done
	if [ -n "$missing" ]; then
		unmeasured shows "import took no screenshot ($missing): it failed or did not end in 10 s"
	elif [[ ${px1%%e*} =~ [1-9] ]] && [[ ${px2%%e*} =~ [1-9] ]]; then
		met shows "three screenshots 1.5 s apart (0.png, 1.png, 2.png): $px1 and $px2 pixels changed"
	else
		unmet shows "${px1:-?} pixels changed between the first two, ${px2:-?} between the last two"
	fi

	local extra
	extra=$(comm -13 base mine | paste -sd' ')
	if [ -z "$extra" ]; then
		met nothread "your firstwin runs the threads $(paste -sd' ' mine)"
	else
		unmet nothread "threads the project's own firstwin does not have: $extra"
	fi
}
