// Runs a test in another time zone: sets TZ for the object's lifetime and
// restores the previous value after.
#ifndef ZELVAR_TESTS_SUPPORT_SCOPED_TZ_H_
#define ZELVAR_TESTS_SUPPORT_SCOPED_TZ_H_

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace zelvar::test {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* previous = std::getenv("TZ")) previous_ = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_SCOPED_TZ_H_
