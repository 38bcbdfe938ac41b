# oflagcopy: O_SYNC given at open, which holds: every write waits for the
# device.
part_oflagcopy() {
	heading "oflagcopy: O_SYNC given at open"
	printf 'old old old old old old old\n' >"$scratch/out"
	show "printf 'new\\n' | oflagcopy; cat out"
	watchflags 3 oflagcopy
	head -c 1000 /dev/zero >"$scratch/in1000"
	show "strace -qq -s 0 -e trace=openat,read,write oflagcopy < in1000 2>&1 | grep -E 'out|read\\(0|write'"
	explain "Given to open, O_SYNC sticks. One read of at most 512 bytes, then one write of exactly what it read: 512, then 488, then end of input."
	measure oflagcopy "oflagcopy < in"
	explain "Each write call returned only once its data, and what the file system must record to find it again, had reached the disk: the device writes follow the write calls, and every call waits for them."
	finding oflagcopy "O_SYNC given to open, the kernel has it $sync: $(lastrow)"
}
