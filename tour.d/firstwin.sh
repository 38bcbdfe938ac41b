# firstwin: a Qt 5 Widgets window, and an event loop that sleeps in the
# kernel until an event comes.

part_firstwin() {
	heading "firstwin: a Qt 5 Widgets window and its event loop"
	local status=0 ondisplay=false pid w i state call quiet key
	if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
		ondisplay=true
		explain "A window opens on your display. Leave it be for a few seconds: the tour watches its event loop first, then asks you to close it."
	else
		explain "No display here: firstwin runs on a private Xvfb, and the tour closes its window with Ctrl+Q."
		privatedisplay
	fi
	typed 'firstwin &'
	firstwin 2>/dev/null &
	pid=$!
	w=$(timeout 20 xdotool search --sync --onlyvisible --name '^firstwin$' | head -1)
	if ! $ondisplay; then
		import -window "$w" "$build/firstwin-tour.png"
		cp "$build/firstwin-tour.png" "$pagedir/firstwin.png"
		fact "screenshot saved: $build/firstwin-tour.png"
	fi

	# Given the focus and drawn, the loop goes back to waiting.
	timeout 5 xdotool windowfocus --sync "$w" 2>/dev/null || true
	for i in $(seq 500); do
		sample "$pid"
		case $call in *poll* | *select* | *epoll*) break ;; esac
		sleep 0.01
	done
	typed "cat /proc/$pid/syscall"
	syscallof "$pid"
	show "cat /proc/$pid/wchan; echo"
	local number
	read -r number _ <"/proc/$pid/syscall"
	typed "sysname $number"
	sysname "$number"
	fact "the event loop is blocked in $call: the kernel has put it to sleep"
	explain "The first number is the system call the process is in, the next its arguments; wchan names where in the kernel it sleeps. Now its clock: /proc/PID/schedstat holds the nanoseconds its main thread has run, the nanoseconds it waited for a processor, and how many times it has been run."
	show "cat /proc/$pid/schedstat"
	local a b c
	read -r -a a <"$scratch/said"
	show 'sleep 1'
	show "cat /proc/$pid/schedstat"
	read -r -a b <"$scratch/said"
	quiet="$((b[0] - a[0])) ns of CPU and $((b[2] - a[2])) wake-ups over one second"
	fact "$quiet"
	show 'xdotool key a'
	sleep 0.3
	show "cat /proc/$pid/schedstat"
	read -r -a c <"$scratch/said"
	key="$((c[2] - b[2])) wake-ups and $((c[0] - b[0])) ns of CPU for one key press"
	fact "$key"
	explain "Left alone the event loop does not spin: it sleeps in $call and costs nothing. The key press reached the window; the kernel woke the loop to handle it, and it went back to sleep."

	if $ondisplay; then
		explain "Now close the window (Quit, Ctrl+Q or the close box) to go on: the close is one more event."
	else
		show 'xdotool key ctrl+q'
	fi
	wait "$pid" || status=$?
	if [ -n "$xpid" ]; then
		kill "$xpid" && wait "$xpid" 2>/dev/null || true
		xpid=
	fi
	fact "firstwin exited with status $status"
	explain "Closing the last window ended the event loop; its result, 0, became the exit status."
	finding firstwin "idle in $call: $quiet; $key; exit status $status"
}
