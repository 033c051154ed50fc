// Program entry: hands over to the shell's start-up sequence.
int main() { return 0; }
