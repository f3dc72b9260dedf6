// The checks of the Windows test programs, which have no test framework:
// a line per check, then "N passed, N failed", and an exit status.
#ifndef TARVANE_TESTS_WINDOWS_CHECKS_H
#define TARVANE_TESTS_WINDOWS_CHECKS_H

#include <stdio.h>

#include <string>

inline int checks_passed = 0;
inline int checks_failed = 0;

inline void check(bool ok, const std::string& what,
                  const std::string& detail = "") {
  if (ok) {
    ++checks_passed;
    printf("ok   %s\n", what.c_str());
  } else {
    ++checks_failed;
    printf("FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ",
           detail.c_str());
  }
  fflush(stdout);
}

// Prints the closing line; the program's exit status.
inline int checks_summary() {
  printf("%d passed, %d failed\n", checks_passed, checks_failed);
  return checks_failed == 0 ? 0 : 1;
}

#endif  // TARVANE_TESTS_WINDOWS_CHECKS_H
