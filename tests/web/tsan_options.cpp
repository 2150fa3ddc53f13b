// ThreadSanitizer reads its options here (unused by other builds).
extern "C" const char* __tsan_default_options() {
  return "suppressions=" TSAN_SUPPRESSIONS;
}
