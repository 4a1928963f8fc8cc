// Stand-in for the Sentry native library. The host links it so that it is loaded with the
// program, as in the shipped bundle, but calls none of its functions.
__attribute__((visibility("default"))) const char* sentry_standin_name(void) { return "sentry"; }
