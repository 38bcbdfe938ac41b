# What both fcntlcopy checks do first: ./out holds $1 old lines made up
# for this run; the copy, run under strace, is fed new ones through a
# FIFO, each saying $2; while it waits for them, the flags of each
# descriptor open on ./out are kept in fds, as "FD:FLAGS" words. Then the
# calls on ./out are shown (calls, each check's own).

fds=
observe() {
	local i
	for i in $(seq "$1"); do
		printf 'old line %02d of this run (%010d), past the copy\n' "$i" "$RANDOM$RANDOM"
	done >old
	# Over 1024 bytes in one write to the FIFO, no more than PIPE_BUF:
	# they arrive at once, and the copy takes three reads and writes.
	for i in $(seq 28); do
		printf 'new line %02d of this run (%010d), %s\n' "$i" "$RANDOM$RANDOM" "$2"
	done >new
	cp old out
	mkfifo feed
	explain "./out holds $(wc -c <old) old bytes. The copy is fed $(wc -c <new) new ones through a FIFO; while it waits for them, the check reads its descriptors' flags."
	launch "strace -f -qq -y -s 20 -o trace fcntlcopy < feed"
	# Open for reading too: the open waits for no reader, and the feeding
	# write never meets a pipe its reader has left.
	exec 7<>feed
	if waitread; then
		flagson "$out"
		[ -n "$fds" ] || unmet "a descriptor open on ./out while it waits for input" "none"
	else
		unmet "it to wait for input in read(0, ...), its descriptors set up" "it ended, or never read, within 5 s"
	fi
	cat new >&7
	exec 7>&-
	settle 5
	[ "$status" -eq 0 ] || unmet "exit status 0" "it $ended"
	explain "Its calls on ./out, as strace saw them:"
	calls | sed 's/^/  /'
}
