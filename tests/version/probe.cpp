// Nothing but a carrier for a stamped version resource.
int main() {
    return 0;
}
