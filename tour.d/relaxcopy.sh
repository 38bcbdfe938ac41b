# relaxcopy: F_SETFL asked to clear O_SYNC on standard output, which Linux
# ignores too.
part_relaxcopy() {
	heading "relaxcopy: F_SETFL asked to clear O_SYNC on standard output"
	show "printf 'to standard output\\n' | relaxcopy"
	# The shell cannot open a file with O_SYNC; perl can, and hands it on.
	local syncout="perl -MFcntl -e 'sysopen(my \$f, \"out\", O_WRONLY|O_SYNC) or die; open(STDOUT, \">&\", \$f); exec @ARGV' relaxcopy"
	: >"$scratch/out"
	watchflags 1 "relaxcopy > out"
	show 'cat out'
	explain "A standard output opened without O_SYNC: its flags are stored back unchanged."
	measure "relaxcopy > out" "relaxcopy < in > out"
	local plain; plain=$(lastrow)
	: >"$scratch/out"
	watchflags 1 "$syncout"
	explain "Here standard output was opened with O_SYNC. relaxcopy asked F_SETFL to clear both of its bits (O_SYNC holds O_DSYNC), the call succeeded, and the kernel kept O_SYNC: F_SETFL can no more remove it than add it."
	measure "relaxcopy > O_SYNC out" "$syncout < in"
	explain "So the copy into an O_SYNC standard output still waits for the disk at every write, whatever relaxcopy asked."
	finding relaxcopy "F_SETFL asked to clear O_SYNC, the kernel has it $sync: $(lastrow) (plain out: $plain)"
}
