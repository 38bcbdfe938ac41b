# fcntlcopy-sync: every write to ./out synchronous, while ./out is still
# opened first with O_WRONLY alone and F_SETFL still asks for O_SYNC in
# vain.

req open "./out opened as it was: with O_WRONLY alone, no O_SYNC"
req setfl "the fcntl(F_SETFL) that asks for O_SYNC, as it was"
req sync "every write to ./out synchronous: the descriptor it goes to has O_SYNC or O_DSYNC, or an fsync or fdatasync (or syncfs, or sync) follows it before the next write"
req content "./out overwritten from its start, not truncated: the new bytes, then the old ones past them"
req status "exit status 0"
req noout "with no ./out, it ends with status 1 and makes none, as before"

source "$top/labs/checks/fcntlcopy-run.sh"

# What the writes cost: shown, never judged, since the device is shared
# and may not be counted at all.
cost() {
	head -c $((128 * 1024)) /dev/zero >in
	: >out
	explain "What the writes cost, shown, not judged: 128 KiB in 256 writes under iowatch, which counts the writes the device under ./out completed meanwhile. Other programs writing to the same device count too."
	rm -f io
	bounded -t 20 -i in -s "iowatch -o io out fcntlcopy" -- "$tools/iowatch" -o "$run/io" out fcntlcopy
	iofigures io || cannot "what the writes cost: iowatch wrote no figures"
	if [ -n "$io_writes" ]; then
		seen "${io_calls:-?} write calls in $io_ms ms; the device under ./out completed $io_writes writes meanwhile, $(awk -v d="$io_writes" -v c="${io_calls:-0}" 'BEGIN { printf "%.1f", c ? d / c : 0 }') a write call"
	else
		seen "${io_calls:-?} write calls in $io_ms ms; device writes not counted: $io_why"
	fi
}

checkit() {
	observe 40
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
	showcalls
	story >story

	local kind fd flags line first again
	first=$(awk -F'\t' '$1 == "open" { print; exit }' story)
	IFS=$'\t' read -r kind fd flags line <<<"$first"
	# What else became of ./out's descriptors, in words.
	again=$(awk -F'\t' '
		$1 == "open" && n++ { printf "; then opened again with %s: %s", $3, $4 }
		$1 == "dup" { printf "; then %s put descriptor %s in place of descriptor %s", $4, $3, $2 }
	' story)
	if [ -z "$first" ]; then
		unmet open "no open of ./out in the trace"
	elif [ "$flags" != O_WRONLY ]; then
		unmet open "$line$again"
	else
		met open "./out opened first with O_WRONLY, as it was: $line$again"
	fi

	line=$(awk -F'\t' '$1 == "setfl" { print $4 }' story | paste -sd';' | sed 's/;/; /g')
	if [[ $line == *O_SYNC* ]]; then
		met setfl "F_SETFL still asks for O_SYNC: $line"
	else
		unmet setfl "${line:-no F_SETFL on ./out}${line:+: no O_SYNC}"
	fi

	# Synchronous by the flags of the descriptors written to, as fdmap
	# read them while the copy waited; else by a sync after every write.
	local written names flagged= plain= unused= w s bare r
	written=" $(awk -F'\t' '$1 == "write" { print $2 }' story | sort -u | paste -sd' ') "
	while IFS=$'\t' read -r _ fd _ _ _ names _; do
		if [[ $written != *" $fd "* ]]; then
			[[ $names != *SYNC* ]] || unused+="; descriptor $fd has $names, but no write went to it"
		elif [[ $names == *SYNC* ]]; then
			flagged+=" $fd ($names)"
		else
			plain+="${plain:+, }descriptor $fd has $names"
		fi
	done <fds.tsv
	read -r w s bare r < <(awk -F'\t' '
		$1 == "write" { bare += dirty; dirty = 1; w++ }
		$1 == "sync" { dirty = 0; s++ }
		$1 == "range" { r++ }
		END { print w + 0, s + 0, bare + dirty, r + 0 }' story)
	if [ "$w" -gt 0 ] && [ -n "$flagged" ] && [ -z "$plain" ]; then
		met sync "its $w writes went to descriptor$flagged: each returned once its data was on the device"
	elif [ "$w" -gt 0 ] && [ "$bare" -eq 0 ]; then
		met sync "each of its $w writes to ./out was followed by a sync call, $s in all"
	elif [ "$w" -eq 0 ]; then
		unmet sync "no write to ./out in the trace"
	else
		local none="unsynced writes: $bare of $w; sync calls: $s"
		[ "$bare" -ne "$w" ] || none="none of the $w writes was followed by a sync call"
		[ "$r" -eq 0 ] || none+="; sync_file_range, called $r times, is none: it writes the data back, but not what the file system needs to find it, nor out of the device's cache"
		unmet sync "${plain:-no descriptor written to was seen while it waited}$unused; $none"
	fi

	# The new bytes over the start of the old ones, the rest left.
	{ cat new; tail -c +$(($(wc -c <new) + 1)) old; } >want
	local d
	d=$(differs want out "expected")
	if [ -z "$d" ]; then
		met content "./out: the $(wc -c <new) new bytes from its start, then the rest of the old ones"
	else
		unmet content "$d"
	fi

	noout noout
	cost
}
