# forkshare-offset: the parent reads wo.txt from its start through an open
# file description of its own, while the child and exe1 go on reading
# through the one they inherited.

req child "the child reads one byte from offset 0, then exe1 its three from offset 1, through the descriptor they inherited: the child opens no wo.txt of its own"
req parent "the parent reads wo.txt from its start: 19 bytes from offset 0, and prints them"
req own "the parent reads through an open file description of its own, made by an open, not the one the child and exe1 share"
req noseek "no lseek that moves the offset, and no pread, on wo.txt in the parent before its read"
req status "exit status 0"

source "$top/labs/checks/forkshare-run.sh"

# The parent's trace, in order: how each descriptor on wo.txt came to be,
# then "read FD HOW" for its last read of wo.txt, and "seek LINE" for the
# first call before it that moved the offset or read around it.
parentreads() {
	traceawk -v p="$parent" -v wo="$here/wo.txt" '
	$1 != p { next }
	function line() { return $3 "(" $8 ") = " $4 }
	$3 ~ forks && $4 > 0 { forked = 1 }
	$3 ~ opens && $7 == wo && $4 ~ /^[0-9]+$/ {
		how[$4] = "opened by the parent " (forked ? "after" : "before") " the fork"
	}
	($3 ~ dups || $3 == "fcntl" && $8 ~ /^[0-9]+, F_DUPFD/) && ($6 in how) && $4 ~ /^[0-9]+$/ && $4 != $6 {
		how[$4] = "a dup of descriptor " $6
	}
	$3 == "close" && $4 == "0" { delete how[$6] }
	$3 ~ reads && $7 == wo { last = NR; rfd = $6; rhow = how[$6] }
	$3 ~ preads && $7 == wo ||
	    $3 ~ seeks && $7 == wo && $8 !~ /^[0-9]+, 0, SEEK_CUR$/ {
		seek[NR] = line()
	}
	END {
		if (last)
			print "read", rfd, rhow
		for (i = 1; i <= last; i++)
			if (i in seek) {
				print "seek", seek[i]
				exit
			}
	}' calls.tsv
}

checkit() {
	runforkshare
	childandexe1 child
	if [ -n "$child" ]; then
		local own
		own=$(traceawk -v c="$child" -v wo="$here/wo.txt" '
			$1 == c && $3 == "execve" { exit }
			$1 == c && $3 ~ opens && $7 == wo { print $3 "(" $8 ") = " $4; exit }' calls.tsv)
		[ -z "$own" ] || unmet child "the child opened wo.txt itself: $own"
	fi

	local reads what rfd rhow seek at bytes want
	reads=$(parentreads)
	read -r what rfd rhow < <(grep '^read ' <<<"$reads")
	seek=$(sed -n 's/^seek //p' <<<"$reads")
	at=${parentread%% *} bytes=${parentread#* }
	want=${text:0:19}
	if [ -z "$parentread" ]; then
		unmet parent "the parent read nothing from wo.txt$(grep -m1 '^parent' out | sed 's/^/; it printed: /')"
	elif [ "$at" != 0 ] || [ "$bytes" != "$want" ]; then
		unmet parent "it read $bytes from offset $at, through descriptor $rfd${rhow:+, $rhow}" "$want from offset 0"
	elif ! grep -qx "parent, bytes:19,$want" out; then
		unmet parent "it read $want from offset 0, and printed: $(grep '^parent' out | grep . || echo 'no line of the parent')"
	else
		met parent "the parent read $want from offset 0, through descriptor $rfd${rhow:+, $rhow}, and printed it"
	fi

	# Its own description: by kcmp where fdmap saw the descriptor while
	# exe1 ran, else by how the trace shows it came to be.
	local pdesc sdesc
	sdesc=$(heldby "$child" | awk -F'\t' -v fd="$fd" '$2 == fd { print $3 }')
	pdesc=$(heldby "$parent" | awk -F'\t' -v fd="$rfd" '$2 == fd { print $3 }')
	if [ -z "$rfd" ]; then
		unmet own "no read of the parent's on wo.txt"
	elif [ -n "$pdesc" ] && [ -n "$sdesc" ] && [ "$pdesc" = "$sdesc" ]; then
		unmet own "its descriptor $rfd is the very description exe1 read through (fdmap, by kcmp: description $pdesc)"
	elif [[ $rhow == "opened by the parent"* ]]; then
		met own "its descriptor $rfd was $rhow${pdesc:+; while exe1 ran, fdmap, by kcmp, saw it apart from the one exe1 read through}"
	else
		unmet own "its descriptor $rfd was ${rhow:-not opened by the parent on wo.txt}"
	fi

	if [ -n "$seek" ]; then
		unmet noseek "the parent called: $seek"
	elif [ -n "$rfd" ]; then
		met noseek "the parent called no lseek and no pread on wo.txt before its read"
	else
		unmeasured noseek "the parent made no read to come before"
	fi
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
}
