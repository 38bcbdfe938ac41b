# fcntlcopy-append: ./out opened with O_WRONLY as before, O_APPEND added
# by F_SETFL, so that every write lands at the end of ./out as it is then.

req open "./out opened as it was: with O_WRONLY and nothing else"
req setfl "an F_SETFL call that gives ./out's descriptor O_APPEND"
req flag "the descriptor the writes go to has O_APPEND while it copies, as /proc/PID/fdinfo shows"
req content "every write lands at the end of ./out as it is then: its old bytes, a line another writer appended meanwhile, then all the new ones"
req status "exit status 0"
req noout "with no ./out, it ends with status 1 and makes none, as before"

source "$top/labs/checks/fcntlcopy-run.sh"

# A count in words: once, twice, N times.
times() {
	case $1 in 1) echo once ;; 2) echo twice ;; *) echo "$1 times" ;; esac
}

checkit() {
	local other="appended by another writer meanwhile ($RANDOM$RANDOM)"
	observe 3 "$other"
	if [ "$status" = 0 ]; then met status; else unmet status "it $ended"; fi
	showcalls
	story >story

	local kind fd flags line first
	first=$(awk -F'\t' '$1 == "open" { print; exit }' story)
	IFS=$'\t' read -r kind fd flags line <<<"$first"
	if [ -z "$first" ]; then
		unmet open "no open of ./out in the trace"
	elif [ "$flags" != O_WRONLY ]; then
		unmet open "$line"
	else
		met open "./out opened with O_WRONLY alone: $line"
	fi

	line=$(awk -F'\t' '$1 == "setfl" && $3 ~ /O_APPEND/ && $4 ~ / = 0$/ { print $4; exit }' story)
	if [ -n "$line" ]; then
		met setfl "F_SETFL gave it O_APPEND: $line"
	else
		line=$(awk -F'\t' '$1 == "setfl" || $1 == "setfd" { print $4 }' story | paste -sd';' | sed 's/;/; /g')
		unmet setfl "${line:-no F_SETFL on the descriptor of ./out}"
	fi

	# The descriptors the writes went to, and their flags while it waited.
	local written seeks n=0 names
	written=$(awk -F'\t' '$1 == "write" { print $2 }' story | sort -u)
	seeks=$(awk -F'\t' '$1 == "seek" && $4 ~ /SEEK_END/' story | wc -l)
	for fd in $written; do
		names=$(namesof "$fd")
		n=$((n + 1))
		if [ -z "$names" ]; then
			unmet flag "descriptor $fd, which the writes went to, was not open on ./out while it waited"
		elif [[ $names == *O_APPEND* ]]; then
			met flag "the writes went to descriptor $fd, which has $names: each one starts at the end of ./out"
		else
			local instead=
			[ "$seeks" = 0 ] || instead="; it moved the offset to the end with lseek $(times "$seeks"), before $(awk -F'\t' '$1 == "write"' story | wc -l) writes, instead: another writer can come in between"
			unmet flag "descriptor $fd has $names$instead"
		fi
	done
	[ "$n" -gt 0 ] || unmet flag "no write to ./out in the trace"

	{ cat old new.1; echo "$other"; cat new.2; } >want
	local d
	d=$(differs want out "expected")
	if [ -z "$d" ]; then
		met content "./out: its $(wc -c <old) old bytes, the line appended meanwhile, then the $(wc -c <new) new ones"
	else
		grep -qF "$other" out || d+="; the line appended meanwhile is gone, written over"
		unmet content "$d"
	fi

	noout noout
}
