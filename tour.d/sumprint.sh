# sumprint: a function linked in from a second, separately compiled source.
part_sumprint() {
	heading "sumprint: a function linked in from a second source"
	show 'sumprint'
	cp "$top/sumprint/main.cpp" "$top/sumprint/fun.cpp" "$scratch"
	show 'g++ -c main.cpp fun.cpp'
	show 'nm -C main.o | grep add'
	show 'nm -C fun.o | grep add'
	explain "The compiler made one object of each source. main.o calls add but holds no code for it (U: undefined); fun.o defines it (T: in its text)."
	showfails 'g++ -o alone main.o'
	local missing
	missing=$(grep -o "undefined reference to \`add(int, int)'" "$scratch/said" | head -1)
	fact "main.o linked alone: ${missing:-no undefined reference}"
	show 'g++ -o sumprint main.o fun.o && ./sumprint'
	fact "main.o linked with fun.o: $(cat "$scratch/said")"
	explain "Alone, main.o leaves add undefined, and the linker refuses to make a program of it. With fun.o beside it, the linker finds add there and joins the two: that is all sumprint is."
	finding sumprint "main.o alone: ${missing:-linked}; with fun.o: $(cat "$scratch/said")"
}
