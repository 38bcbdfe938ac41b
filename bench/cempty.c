/* Nothing but the C library's start-up and exit. */
int
main(void)
{
	return 0;
}
