// Stand-in for the router's service daemon (being written).
int main() { return 0; }
