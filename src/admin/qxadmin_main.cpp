// Entry point of the qxadmin executable.
int main() { return 0; }
