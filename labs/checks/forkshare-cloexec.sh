# forkshare-cloexec: wo.txt opened close-on-exec, and the parent's
# descriptor keeps the flag from the open to the end; exe1 reads all the
# same, through the child's copy of the descriptor.

req open "wo.txt opened with O_CLOEXEC"
req kept "the parent's descriptors on wo.txt keep close-on-exec from the open to the end: no call in the parent clears the flag, nor makes a copy without it"
req held "while exe1 runs, the parent holds wo.txt, and each of its descriptors on it has close-on-exec (O_CLOEXEC in /proc/PID/fdinfo's flags)"
req exe1 "exe1 reads through the descriptor it is handed, on the very open file description the parent holds (kcmp)"
req offsets "the child reads its byte from offset 0, exe1 its three from offset 1, the parent its 19 from offset 4: one offset"
req prints "what it prints stays the same: the descriptor's number, then the child's, exe1's and the parent's lines"
req status "exit status 0"

source "$top/labs/checks/forkshare-run.sh"

# The parent's trace in order: "open LINE" or "bare LINE" for each open of
# wo.txt, with O_CLOEXEC or without; "drop WHEN: LINE" for a call that
# cleared the flag of a descriptor on wo.txt, "again WHEN: LINE" for one
# that set it once more, and "made WHEN: LINE" for a copy made without
# it. WHEN is "before the fork" or "after the fork".
parentflags() {
	traceawk -v p="$parent" -v wo="$here/wo.txt" '
	$1 != p { next }
	function line() { return $3 "(" $8 ") = " $4 }
	function when() { return forked ? "after the fork" : "before the fork" }
	$3 ~ forks && $4 > 0 { forked = 1 }
	$3 ~ opens && $7 == wo && $4 ~ /^[0-9]+$/ {
		on[$4] = 1
		print ($8 ~ /O_CLOEXEC/ ? "open" : "bare"), line()
	}
	($3 ~ dups || $3 == "fcntl" && $8 ~ /^[0-9]+, F_DUPFD/) && ($6 in on) && $4 ~ /^[0-9]+$/ && $4 != $6 {
		on[$4] = 1
		if (!($3 == "dup3" && $8 ~ /O_CLOEXEC/ || $8 ~ /F_DUPFD_CLOEXEC/))
			print "made", when() ":", line()
	}
	($3 == "fcntl" && $8 ~ /^[0-9]+, F_SETFD/ || $3 == "ioctl" && $8 ~ /^[0-9]+, FION?CLEX/) && ($6 in on) && $4 == "0" {
		if ($8 ~ /FD_CLOEXEC|FIOCLEX/) {
			if (dropped)
				print "again", when() ":", line()
		} else {
			print "drop", when() ":", line()
			dropped = 1
		}
	}
	$3 == "close" && $4 == "0" { delete on[$6] }' calls.tsv
}

checkit() {
	runforkshare
	local flags opened bare lost again
	flags=$(parentflags)
	opened=$(sed -n 's/^open //p' <<<"$flags" | head -1)
	bare=$(sed -n 's/^bare //p' <<<"$flags" | head -1)
	lost=$(grep -m1 -e '^drop ' -e '^made ' <<<"$flags")
	again=$(sed -n 's/^again //p' <<<"$flags" | head -1)
	if [ -n "$bare" ]; then
		unmet open "the parent opened it without: $bare"
	elif [ -n "$opened" ]; then
		met open "the parent opened wo.txt close-on-exec: $opened"
	else
		unmet open "no open of wo.txt by the parent"
	fi
	case $lost in
	drop*) unmet kept "the parent dropped it ${lost#drop }${again:+, and set it again only $again}" ;;
	made*) unmet kept "the parent made one without it ${lost#made }" ;;
	*) [ -z "$opened$bare" ] || met kept "the parent never cleared close-on-exec on wo.txt, nor made a descriptor on it without" ;;
	esac

	if [ ! -s exe1.fds ]; then
		unmet held "exe1 never ran to its end: fdmap noted nothing$(grep -m1 '^exe1: read:' out | sed 's/^/; /')"
		unmet exe1 "exe1 never ran to its end"
	else
		local n=0 p dfd desc pos names cloexec
		while IFS=$'\t' read -r p dfd desc pos _ names cloexec _; do
			n=$((n + 1))
			if [ "$cloexec" = 1 ]; then
				met held "while exe1 ran, the parent's descriptor $dfd on wo.txt was close-on-exec, at offset $pos"
			else
				unmet held "its descriptor $dfd had $names, without O_CLOEXEC"
			fi
		done < <(heldby "$parent")
		[ "$n" -gt 0 ] || unmet held "the parent held no descriptor on wo.txt while exe1 ran"
		local mine theirs
		mine=$(heldby "$child" | awk -F'\t' -v fd="$fd" '$2 == fd { print $3 }')
		theirs=$(heldby "$parent" | awk -F'\t' '{ print $3 }' | paste -sd' ')
		if [ -z "$mine" ]; then
			unmet exe1 "exe1 had no descriptor $fd on wo.txt$(grep -m1 '^exe1: read:' out | sed 's/^/: /')"
		elif [[ " $theirs " == *" $mine "* ]]; then
			met exe1 "exe1's descriptor $fd and the parent's are one open file description, as kcmp tells"
		else
			unmet exe1 "exe1's descriptor $fd is a description apart from the parent's: kcmp tells them apart"
		fi
	fi

	childandexe1 offsets
	local at=${parentread%% *}
	if [ "$at" = 4 ] && [ "${parentread#* }" = "${text:4:19}" ]; then
		met offsets "the parent read on from offset 4: the three share one offset"
	else
		unmet offsets "the parent read $(inwords "$parentread")"
	fi

	{
		printf '%s\n' "$fd" "child, bytes:1,${text:0:1}" '' 'exe1: argv[0] = "exe1"' \
			"exe1: argv[1] = \"$fd\"" "exe1: read 3 bytes at offset 1: ${text:1:3}" \
			"parent, bytes:19,${text:4:19}" ''
	} >want
	local d
	d=$(differs want out expected)
	if [ -z "$d" ]; then
		met prints "it printed what it always did"
	else
		unmet prints "$d: $(said out)" "$(said want)"
	fi
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
}
