// PLACEHOLDER until the simulated station lands.
int main() { return 0; }
