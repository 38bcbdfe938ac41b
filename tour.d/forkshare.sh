# forkshare: one open file shared by a parent, its child and the program
# the child becomes; and what happens when the descriptor is close-on-exec.
part_forkshare() {
	heading "forkshare: one open file shared across fork and exec"
	printf abcdefghijklmnopqrstuvwxyz >"$scratch/wo.txt"
	cp "$build/bin/exe1" "$scratch/exe1"
	show 'cat wo.txt; echo'
	show 'forkshare'
	local fd child exe1at exe1n parent
	fd=$(head -1 "$scratch/said")
	child=$(sed -n 's/^child, bytes:\([0-9-]*\),.*/\1/p' "$scratch/said")
	read -r exe1n exe1at < <(sed -n 's/^exe1: read \([0-9]*\) bytes at offset \([0-9]*\).*/\1 \2/p' "$scratch/said")
	parent=$((exe1at + exe1n))
	fact "the child read $child byte from offset 0"
	fact "exe1 read $exe1n bytes from offset $exe1at"
	fact "the parent read from offset $parent"
	explain "The descriptor number ($fd) is printed first. The child read one byte, then became ./exe1, which found the same descriptor open (forkshare cleared its close-on-exec flag) and the offset moved on to $exe1at. The parent waited for it and read on from offset $parent: all three share one open file description, and so one offset."

	# The counterfactual: the same program with the descriptor opened
	# close-on-exec and the flag left as it is.
	cp "$top/forkshare/forkshare.cpp" "$scratch"
	show "sed -e 's/O_RDONLY)/O_RDONLY | O_CLOEXEC)/' -e '/F_SETFD/d' forkshare.cpp > cloexec.cpp"
	showfails 'diff forkshare.cpp cloexec.cpp'
	show 'g++ -o cloexec cloexec.cpp'
	showfails './cloexec'
	local lost text before
	lost=$(sed -n 's/^exe1: read: //p' "$scratch/said")
	text=$(sed -n 's/^parent, bytes:[0-9-]*,//p' "$scratch/said")
	before=$(cat "$scratch/wo.txt")
	before=${before%%"$text"*}
	fact "close-on-exec set: exe1 read through descriptor $fd: ${lost:-it read all the same}"
	fact "the parent read from offset ${#before}"
	explain "Opened with O_CLOEXEC, as much code opens files to keep them from leaking into programs it starts, and not cleared, the descriptor was closed by the exec: exe1 was handed the number of a descriptor that no longer exists, read nothing, and the parent read on from where the child stopped. This is why forkshare clears the flag."
	finding forkshare "one offset: reads from 0, $exe1at, $parent; left close-on-exec: exe1 \"${lost:-?}\", parent from ${#before}"
}
