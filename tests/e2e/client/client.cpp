// A stand-in for the earlier release's Tavrin.exe: the end-to-end tests read
// nothing but its version resource.
int main() {
    return 0;
}
