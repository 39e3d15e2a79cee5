// Entry point of the qxservice executable.
int main() { return 0; }
