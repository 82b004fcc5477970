// A program that does nothing, linked statically: the cheapest process start there is,
// the floor of a rehearsal's starts.
int main() { return 0; }
