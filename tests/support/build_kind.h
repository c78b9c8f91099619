// Whether the test runs in the AddressSanitizer build, where every memory
// access is checked and freed memory is held in a quarantine: large answers
// arrive several times slower, and resident memory grows with every block
// freed until the quarantine is full.
#pragma once

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

} // namespace testsupport
