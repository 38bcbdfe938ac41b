# What both fcntlcopy checks do: ./out holds old lines made up for the
# run; fcntlcopy, run under strace, is fed new ones through a FIFO in two
# pieces; while it waits between them, its descriptors on ./out are read.
# Then its calls on ./out, read from the trace, tell what it did.

need strace

# Copies new over old, as observe runs it, leaving calls.tsv (the trace,
# read) and fds.tsv (its descriptors on ./out while it waited). $1 is how
# many old lines; $2, if given, a line appended to ./out between the two
# pieces, as another writer would.
observe() {
	local i
	for i in $(seq "$1"); do
		printf 'old line %02d of this run (%010d), past the copy\n' "$i" "$RANDOM$RANDOM"
	done >old
	for i in $(seq 28); do
		printf 'new line %02d of this run (%010d)\n' "$i" "$RANDOM$RANDOM"
	done >new
	# A first piece that one read takes whole; then the rest, more than
	# two reads of 512 bytes.
	head -c 300 new >new.1
	tail -c +301 new >new.2
	cp old out
	rm -f feed && mkfifo feed
	explain "./out holds $(wc -c <old) old bytes. The copy is fed $(wc -c <new) new ones through a FIFO, $(wc -c <new.1) first, then $(wc -c <new.2); between the two, the check reads its descriptors on ./out."
	# Open for reading too: the open waits for no reader, and the feeding
	# write never meets a pipe its reader has left.
	exec 7<>feed
	launch -t 10 -i feed -S trace -- "$strace" -f -q -y -s 40 -o trace fcntlcopy
	typed "head -c 300 new > feed"
	cat new.1 >&7
	fds=
	if waitread 300; then
		typed "fdmap --only out $reader"
		"$tools/fdmap" --only out "$reader" 2>&1 | sed 's/^/  /'
		readfds fds.tsv --only out "$reader"
	else
		: >fds.tsv
		explain "It did not come back to read(0, ...) having read those 300 bytes: its descriptors could not be read while it waited."
	fi
	if [ -n "${2:-}" ]; then
		typed "echo '$2' >> out"
		echo "$2" >>out
	fi
	typed "tail -c +301 new > feed"
	cat new.2 >&7
	exec 7>&-
	settle
	typed "strace -f -y -o trace fcntlcopy < feed"
	readtrace calls.tsv trace
	here=$(pwd -P)
}

# fcntlcopy with no ./out at all, as before: it ends with status 1, says
# why, and makes no ./out. Records requirement $1.
noout() {
	rm -f out
	explain "Now with no ./out at all: fcntlcopy opens it without creating it, and must end as it always did."
	bounded -i /dev/null -e err -- fcntlcopy
	shown err
	if [ -e out ]; then
		unmet "$1" "it made a ./out of $(stat -c %s out) bytes, and $ended"
	elif [ "$status" != 1 ]; then
		unmet "$1" "it $ended"
	else
		met "$1" "it ended with status 1 and made no ./out, as before"
	fi
}

# What the trace shows of ./out, one line an event, tab-separated: "open
# FD FLAGS LINE" for each open of it, "dup NEW FROM LINE" for a copy of a
# descriptor on it, "setfl FD FLAGS LINE" and "setfd FD FLAGS LINE" for
# fcntl's F_SETFL and F_SETFD, "write FD BYTES LINE", and
# "sync FD - LINE" for fsync, fdatasync, syncfs and sync calls that
# worked, "range FD - LINE" for sync_file_range, "seek FD - LINE" for
# lseek; LINE is the call as strace showed it.
story() {
	traceawk -v out="$here/out" '
	function line() { return $3 "(" $8 ") = " $4 ($5 != "" ? " " $5 : "") }
	function flags(a, n) {
		if ($3 == "openat2")
			return match($8, /flags=[^,}]*/) ? substr($8, RSTART + 6, RLENGTH - 6) : "?"
		n = split($8, a, ", ")
		return $3 == "openat" ? a[3] : $3 == "open" ? a[2] : "O_CREAT|O_WRONLY|O_TRUNC"
	}
	$3 ~ opens && $7 == out && $4 ~ /^[0-9]+$/ {
		on[$4] = 1
		print "open\t" $4 "\t" flags() "\t" line()
	}
	($3 ~ dups || $3 == "fcntl" && $8 ~ /^[0-9]+, F_DUPFD/) && ($6 in on) && $4 ~ /^[0-9]+$/ {
		on[$4] = 1
		print "dup\t" $4 "\t" $6 "\t" line()
	}
	$3 == "close" && $4 == "0" { delete on[$6] }
	$3 == "fcntl" && ($6 in on) && $8 ~ /F_SET(FL|FD)/ {
		f = $8; sub(/^[0-9]+, F_SET.., /, "", f)
		print ($8 ~ /F_SETFL/ ? "setfl" : "setfd") "\t" $6 "\t" f "\t" line()
	}
	$3 ~ writes && ($6 in on) {
		print "write\t" $6 "\t" $4 "\t" line()
	}
	$3 ~ syncs && ($6 in on || $3 == "sync") && $4 == "0" {
		print "sync\t" $6 "\t-\t" line()
	}
	$3 == "sync_file_range" && ($6 in on) { print "range\t" $6 "\t-\t" line() }
	$3 ~ seeks && ($6 in on) { print "seek\t" $6 "\t-\t" line() }
	' calls.tsv
}

# The calls on ./out, as strace showed them, one a line, indented.
showcalls() {
	explain "Its calls on ./out, as strace saw them:"
	story | cut -f 4 | sed 's/^/  /' | head -30
}

# The flags, by name, of the descriptor $1 as fdmap read it while the copy
# waited; empty if it had none such.
namesof() { awk -F'\t' -v fd="$1" '$2 == fd { print $6 }' fds.tsv; }
