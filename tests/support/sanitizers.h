// Which sanitizer this build runs under; the agent binary is built with the
// same one, so tests can allow for what that sanitizer adds to its process.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TARNWEL_TESTS_UNDER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define TARNWEL_TESTS_UNDER_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(TARNWEL_TESTS_UNDER_ASAN)
#define TARNWEL_TESTS_UNDER_ASAN 1
#endif
#if __has_feature(thread_sanitizer) && !defined(TARNWEL_TESTS_UNDER_TSAN)
#define TARNWEL_TESTS_UNDER_TSAN 1
#endif
#endif

namespace tarnwel::testing {

#if defined(TARNWEL_TESTS_UNDER_TSAN)
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
