/* A library of the other word size under the engine's name: the loader refuses it. */
int dzip(void* command) { return command != 0; }
