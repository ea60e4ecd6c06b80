__declspec(dllexport) int tduBeside(void) { return 1; }
