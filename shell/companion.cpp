// The companion library libItemDecodeA.so: the program requires its presence at start; it
// exports nothing.
