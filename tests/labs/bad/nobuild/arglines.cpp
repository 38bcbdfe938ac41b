int
main()
{
	return undeclared;
}
