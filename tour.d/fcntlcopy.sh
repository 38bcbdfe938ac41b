# fcntlcopy: O_SYNC asked for with fcntl(F_SETFL) after open, which Linux
# ignores; its writes stay in the page cache.
part_fcntlcopy() {
	heading "fcntlcopy: O_SYNC asked for with fcntl(F_SETFL) after open"
	printf 'old old old old old old old\n' >"$scratch/out"
	show "printf 'new\\n' | fcntlcopy; cat out"
	explain "./out is overwritten from its start, not truncated: what lies past the copy stays."
	watchflags 3 fcntlcopy
	show "strace -qq -s 0 -e trace=fcntl fcntlcopy < /dev/null"
	explain "fcntlcopy opened ./out with O_WRONLY and asked F_SETFL for O_SYNC. The call succeeded, yet the kernel shows no O_SYNC: Linux's F_SETFL changes only O_APPEND, O_NONBLOCK, O_ASYNC, O_DIRECT and O_NOATIME, and ignores the rest."
	measure fcntlcopy "fcntlcopy < in"
	explain "What that costs: iowatch ran the copy of 512 chunks and counted its write calls and the writes the disk under ./out completed meanwhile. Without O_SYNC each write call only copied its data into the page cache and returned; the kernel writes it to the disk later, on its own time."
	finding fcntlcopy "F_SETFL asked for O_SYNC, the kernel has it $sync: $(lastrow)"
}
