# forkshare-cloexec: wo.txt opened close-on-exec, and the parent's
# descriptor keeps the flag from the open to the end; exe1 reads all the
# same, through the child's copy of the descriptor.
source "$top/labs/checks/forkshare-run.sh"

# The parent's trace in order: prints "open LINE" or "bare LINE" for each
# open of wo.txt, with O_CLOEXEC or without; "drop WHEN: LINE" for a call
# that cleared the flag of a descriptor on wo.txt, "again WHEN: LINE" for
# one that set it once more, and "made WHEN: LINE" for a copy of one made
# without it. WHEN is "before the fork" or "after the fork".
parentflags() {
	awk "$fields"'
	function when() { return forked ? "after the fork" : "before the fork" }
	forks { forked = 1 }
	wo && res != "" {
		on[res] = 1
		print ($0 ~ /O_CLOEXEC/ ? "open" : "bare"), line
	}
	(call ~ /^dup[23]?$/ || call == "fcntl" && args ~ /^[0-9]+, F_DUPFD/) &&
	    (fd in on) && res != "" && res != fd {
		on[res] = 1
		if (!(call == "dup3" && args ~ /O_CLOEXEC/ || args ~ /F_DUPFD_CLOEXEC/))
			print "made", when() ":", line
	}
	(call == "fcntl" && args ~ /^[0-9]+, F_SETFD/ ||
	    call == "ioctl" && args ~ /^[0-9]+, FION?CLEX/) && (fd in on) && res != "" {
		if (args ~ /FD_CLOEXEC|FIOCLEX/) {
			if (dropped)
				print "again", when() ":", line
		} else {
			print "drop", when() ":", line
			dropped = 1
		}
	}
	call == "close" && res != "" { delete on[fd] }' "$parent"
}

checkit() {
	runforkshare || return
	local flags opened bare lost again
	flags=$(parentflags)
	opened=$(sed -n 's/^open //p' <<<"$flags" | head -1)
	bare=$(sed -n 's/^bare //p' <<<"$flags" | head -1)
	lost=$(grep -m1 -e '^drop ' -e '^made ' <<<"$flags")
	again=$(sed -n 's/^again //p' <<<"$flags" | head -1)
	if [ -n "$bare" ]; then
		unmet "wo.txt opened with O_CLOEXEC" "the parent opened it without: $bare"
	elif [ -n "$opened" ]; then
		seen "the parent opened wo.txt close-on-exec: $opened"
	else
		unmet "wo.txt opened with O_CLOEXEC" "no open of wo.txt by the parent"
	fi
	case $lost in
	drop*)
		unmet "the parent's descriptor on wo.txt to keep close-on-exec from the open to the end" \
			"the parent dropped it ${lost#drop }${again:+, and set it again only $again}"
		;;
	made*)
		unmet "each descriptor the parent holds on wo.txt to be close-on-exec" \
			"the parent made one without it ${lost#made }"
		;;
	*) seen "the parent never cleared close-on-exec on wo.txt, nor made a descriptor on it without" ;;
	esac

	local fd pos fl kcmp
	while IFS=$'\t' read -r fd pos fl kcmp; do
		if ((8#$fl & 8#2000000)); then
			seen "while exe1 ran, the parent's descriptor $fd on wo.txt had flags $fl: $(flagnames "$fl")"
		elif [ -n "$bare$lost" ]; then
			seen "while exe1 ran, the parent's descriptor $fd on wo.txt had flags $fl: $(flagnames "$fl"), no O_CLOEXEC"
		else
			unmet "the parent's descriptors on wo.txt close-on-exec while exe1 runs" \
				"its descriptor $fd had flags $fl: $(flagnames "$fl")"
		fi
	done < <(held "parent's")

	if [ -n "$child" ]; then
		awk "$fields"'/^execve\(/ { exit }
			call ~ /^dup[23]?$/ || call == "fcntl" && args ~ /^[0-9]+, F_(SETFD|DUPFD)/ ||
			    call == "ioctl" && args ~ /^[0-9]+, FION?CLEX/ { print line }' "$child" |
			while read -r l; do seen "the child, before its exec: $l"; done
	fi
	local n=0
	while IFS=$'\t' read -r fd pos fl kcmp; do
		n=$((n + 1))
		seen "exe1 had descriptor $fd open on wo.txt, flags $fl: $(flagnames "$fl")"
	done < <(held my)
	[ "$n" -gt 0 ] || seen "exe1 had no descriptor open on wo.txt"
	childandexe1

	if [ "$parentat" = 4 ]; then
		seen "the parent read on from offset 4: the three still share one offset"
	else
		unmet "the parent to read on from offset 4, where the child and exe1 left the offset they share" \
			"$(if [ -n "$parentat" ]; then echo "it read from offset $parentat"; else grep '^parent' out | grep . || echo 'no line from the parent'; fi)"
	fi
	[ "$status" -eq 0 ] || unmet "exit status 0" "it $ended"
}
