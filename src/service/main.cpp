// Placeholder entry point; the service host replaces it.
int main() { return 0; }
