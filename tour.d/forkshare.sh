# forkshare: one open file shared by a parent, its child and the program
# the child becomes; and what happens when the descriptor is close-on-exec.

# What fdmap noted in exe1.tsv while exe1 ran, in words: the parent's and
# exe1's descriptors on wo.txt; $1 is 1 where they should share one
# description.
held() {
	awk -F'\t' -v share="$1" '
		NR == 1 { next }
		!parent { parent = $1 }
		$1 == parent { p[$2] = $3; pos[$3] = $4; next }
		{ e[$2] = $3 }
		END {
			for (fd in p) {
				s = "forkshare holds descriptor " fd ", at offset " pos[p[fd]]
				for (x in e)
					if (e[x] == p[fd])
						s = "forkshare'"'"'s descriptor " fd " and exe1'"'"'s descriptor " x " are one open file description, at offset " pos[p[fd]]
				out = out sep s; sep = "; "
			}
			n = 0
			for (x in e) n++
			if (!n)
				out = out sep "exe1 holds nothing on wo.txt"
			print out
		}' "$scratch/exe1.tsv" 2>/dev/null
}
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

	# The kernel's objects themselves, drawn while exe1 runs.
	explain "Now the kernel's own objects, drawn while exe1 runs. In exe1's place the tour puts a script that runs exe1, then has fdmap draw what it and forkshare, which waits for it, hold on wo.txt: each descriptor, the open file description it refers to (which kcmp tells), with its offset, and the file."
	cat >"$scratch/exe1" <<-'WRAP'
	#!/bin/sh
	# exe1, then what it and forkshare ($PPID, waiting) hold on wo.txt.
	exe1 "$@"
	status=$?
	fdmap --only wo.txt $PPID $$
	fdmap --dot --only wo.txt $PPID $$ >exe1.dot
	fdmap --json --only wo.txt $PPID $$ >exe1.json
	fdmap --tsv --only wo.txt $PPID $$ >exe1.tsv
	exit $status
	WRAP
	chmod +x "$scratch/exe1"
	show 'cat exe1'
	show 'forkshare'
	local shared
	shared=$(held 1)
	fact "while exe1 ran: ${shared:-fdmap noted nothing}"
	pagefigure "$scratch/exe1.dot" "$scratch/exe1.json" "forkshare waits while exe1, its child, runs: both hold descriptor $fd on one open file description, whose offset exe1's read moved to $parent"

	# The counterfactual: the same program with the descriptor opened
	# close-on-exec and the flag left as it is.
	cp "$top/forkshare/forkshare.cpp" "$scratch"
	show "sed -e 's/O_RDONLY)/O_RDONLY | O_CLOEXEC)/' -e '/F_SETFD/d' forkshare.cpp > cloexec.cpp"
	showfails 'diff forkshare.cpp cloexec.cpp'
	show 'g++ -o cloexec cloexec.cpp'
	showfails './cloexec'
	local lost text before
	fact "while exe1 ran: $(held 0)"
	pagefigure "$scratch/exe1.dot" "$scratch/exe1.json" "the same, opened close-on-exec and left so: the exec closed the child's descriptor, and exe1 holds nothing on wo.txt"
	lost=$(sed -n 's/^exe1: read: //p' "$scratch/said")
	text=$(sed -n 's/^parent, bytes:[0-9-]*,//p' "$scratch/said")
	before=$(cat "$scratch/wo.txt")
	before=${before%%"$text"*}
	fact "close-on-exec set: exe1 read through descriptor $fd: ${lost:-it read all the same}"
	fact "the parent read from offset ${#before}"
	explain "Opened with O_CLOEXEC, as much code opens files to keep them from leaking into programs it starts, and not cleared, the descriptor was closed by the exec: exe1 was handed the number of a descriptor that no longer exists, read nothing, and the parent read on from where the child stopped. This is why forkshare clears the flag."
	finding forkshare "one offset: reads from 0, $exe1at, $parent; left close-on-exec: exe1 \"${lost:-?}\", parent from ${#before}"
}
