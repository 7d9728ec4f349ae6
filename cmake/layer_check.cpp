// The program of a layer check: it is only linked, never run.
int main() { return 0; }
