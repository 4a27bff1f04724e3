#pragma once
// Whether the tests run under the address sanitizer (a VANTOK_SANITIZE
// build), which ends the process at an allocation request beyond its limit
// rather than failing it: the tests of such requests step aside.

namespace vantok::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool ADDRESS_SANITIZER = true;
#else
inline constexpr bool ADDRESS_SANITIZER = false;
#endif
#else
inline constexpr bool ADDRESS_SANITIZER = false;
#endif

}  // namespace vantok::test
