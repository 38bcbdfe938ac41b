# forkshare-offset: the parent reads wo.txt from its start through an open
# file of its own, while the child and exe1 go on reading through the one
# they inherited.
source "$top/labs/checks/forkshare-run.sh"

# The parent's trace in order. Keeps how each descriptor on wo.txt came
# to be; prints "read FD HOW" for the last read of wo.txt, then "seek
# LINE" for the first call before it that moved its offset or read
# around it.
parentreads() {
	awk "$fields"'
	forks { forked = 1 }
	wo && res != "" {
		how[res] = "opened by the parent " (forked ? "after" : "before") " the fork"
	}
	(call ~ /^dup[23]?$/ || call == "fcntl" && args ~ /^[0-9]+, F_DUPFD/) &&
	    (fd in how) && res != "" && res != fd {
		how[res] = "a dup of descriptor " fd
	}
	call == "close" && res != "" { delete how[fd] }
	call ~ /^(p?readv?|pread64|preadv2)$/ && (fd in how) {
		last = NR; rfd = fd; rhow = how[fd]
	}
	call ~ /^(pread64|preadv|preadv2)$/ && (fd in how) ||
	    call ~ /^(lseek|_llseek)$/ && (fd in how) && args !~ /^[0-9]+, 0, SEEK_CUR\)/ {
		seek[NR] = line
	}
	END {
		if (last)
			print "read", rfd, rhow
		for (i = 1; i <= last; i++)
			if (i in seek) {
				print "seek", seek[i]
				exit
			}
	}' "$parent"
}

checkit() {
	runforkshare || return
	childandexe1
	if [ -n "$child" ]; then
		local own
		own=$(awk "$fields"'/^execve\(/ { exit } wo { print line; exit }' "$child")
		[ -z "$own" ] || unmet "the child and exe1 to read through the descriptor inherited from the parent" \
			"the child opened wo.txt itself: $own"
	fi

	local fd pos flags kcmp
	while IFS=$'\t' read -r fd pos flags kcmp; do
		seen "while exe1 ran, the parent's descriptor $fd on wo.txt was at offset $pos${kcmp:+, ${kcmp/I read/exe1 read}}"
	done < <(held "parent's")

	local reads what rfd rhow seek through= shared=
	reads=$(parentreads)
	read -r what rfd rhow < <(grep '^read ' <<<"$reads")
	seek=$(sed -n 's/^seek //p' <<<"$reads")
	[ -z "$rfd" ] || through=", through descriptor $rfd, $rhow"
	[ "$parentat" != 4 ] || shared="where the child and exe1 left the offset they share"
	if [ "$parentat" = 0 ]; then
		seen "the parent read $parentn bytes from offset 0 ($parenttext)$through"
	elif [ -n "$parentat" ]; then
		unmet "the parent to read wo.txt from its start, offset 0" \
			"it read from offset $parentat ($parenttext)$through${shared:+: $shared}"
	else
		unmet "the parent to read wo.txt from its start, offset 0" \
			"$(grep '^parent' out | grep . || echo 'no line from the parent')"
	fi
	if [ -n "$seek" ]; then
		unmet "the parent to start at 0 with an open file of its own, not by lseek or pread" \
			"the parent called: $seek"
	else
		seen "the parent called no lseek and no pread on wo.txt before its read"
	fi
	[ "$status" -eq 0 ] || unmet "exit status 0" "it $ended"
}
