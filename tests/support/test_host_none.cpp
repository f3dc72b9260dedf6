// A host module that exports none of the service names.
extern "C" __attribute__((visibility("default"))) int test_host_none_marker(void) {
  return 0;
}
