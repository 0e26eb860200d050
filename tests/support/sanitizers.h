// Which sanitizer this build runs under; the agent binary is built with the
// same one, so tests can allow for what that sanitizer adds to its process.
// g++ says so with __SANITIZE_*__, clang with __has_feature.
#pragma once

#if defined(__has_feature)
#define TARNWEL_TESTS_HAS_FEATURE(feature) __has_feature(feature)
#else
#define TARNWEL_TESTS_HAS_FEATURE(feature) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || TARNWEL_TESTS_HAS_FEATURE(address_sanitizer)
#define TARNWEL_TESTS_UNDER_ASAN 1
#endif

namespace tarnwel::testing {

#if defined(__SANITIZE_THREAD__) || TARNWEL_TESTS_HAS_FEATURE(thread_sanitizer)
inline constexpr bool UNDER_TSAN = true;
#else
inline constexpr bool UNDER_TSAN = false;
#endif
#if defined(TARNWEL_TESTS_UNDER_ASAN)
inline constexpr bool UNDER_SANITIZER = true;
#else
inline constexpr bool UNDER_SANITIZER = UNDER_TSAN;
#endif

}  // namespace tarnwel::testing
