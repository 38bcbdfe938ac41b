int
main()
{
	for (volatile int i = 0;; i++) {
	}
}
