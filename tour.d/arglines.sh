# arglines: the argument vector exactly as the program receives it.
part_arglines() {
	heading "arglines: the argument vector as the program receives it"
	touch "$scratch/a.txt" "$scratch/b.txt"
	show 'arglines "" "two words" *.txt'
	explain "Each argument is printed on a line of its own, argument zero first, then one empty line. The empty argument is an empty line of its own; the quotes kept \"two words\" together and are gone; the shell expanded *.txt into two arguments before arglines started."
	show "arglines 'one
two'"
	explain "An argument may hold a newline: it spreads over two lines."

	# Every shell passes at least argument zero; execve takes any vector.
	show 'noargv $(command -v arglines) | od -c'
	local lines kernel
	lines=$(noargv "$build/bin/arglines" | wc -l)
	kernel=$(uname -r)
	show 'uname -r'
	if [ "$lines" -eq 2 ]; then
		fact "Linux $kernel handed arglines one empty argument in place of the empty vector: 2 lines"
		explain "noargv started arglines with an argument vector that is really empty: no argument zero at all. Linux 5.18 and later refuse to hand a program nothing there, and give it one empty argument instead, so code that trusts argv[0] is safe; arglines printed that empty argument, then its closing empty line. On older kernels it prints the closing line alone."
		finding arglines "an empty vector arrived as one empty argument (Linux $kernel)"
	else
		fact "Linux $kernel handed arglines the empty vector as it was: $lines line"
		explain "noargv started arglines with an argument vector that is really empty, and this kernel passed it on as it was: arglines printed its closing empty line alone. Linux 5.18 and later give such a program one empty argument instead."
		finding arglines "an empty vector arrived empty (Linux $kernel)"
	fi
}
