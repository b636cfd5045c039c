// Whether this build runs under a sanitizer: resident-memory figures then
// mean nothing (the sanitizer's allocator holds freed memory in quarantine),
// and the tools built beside the tests run under it too.
#ifndef TARNLINK_TESTS_SUPPORT_SANITIZED_H_
#define TARNLINK_TESTS_SUPPORT_SANITIZED_H_

namespace tarnlink::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_SANITIZED_H_
