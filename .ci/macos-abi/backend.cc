// What the LocalAuthentication backend writes by hand, under the names
// apple.mm beside this file gives what clang and Apple's headers make of the
// same: see there. The backend comes after Apple's runtime headers, so its
// own declarations of the runtime's functions must also agree with Apple's
// (objc_alloc, objc_release, objc_retainAutoreleasedReturnValue and the
// autorelease pool's push and pop are in no public header).
#include <Block.h>
#include <objc/message.h>
#include <objc/runtime.h>

#include "presence/local_authentication_backend-macos.cc"

extern "C" {

int tarnwel_abi_reply_block_flags() { return tarnwel::stack_reply_block(nullptr).flags; }

unsigned long tarnwel_abi_reply_block_size() {
  return tarnwel::stack_reply_block(nullptr).descriptor->size;
}

const char* tarnwel_abi_reply_block_signature() {
  return tarnwel::stack_reply_block(nullptr).descriptor->signature;
}

const char* tarnwel_abi_reply_block_layout() {
  return tarnwel::stack_reply_block(nullptr).descriptor->layout;
}

long tarnwel_abi_policy_device_owner() {
  return static_cast<long>(tarnwel::LocalAuthenticationPolicy::DeviceOwnerAuthentication);
}

long tarnwel_abi_policy_biometrics() {
  return static_cast<long>(
      tarnwel::LocalAuthenticationPolicy::DeviceOwnerAuthenticationWithBiometrics);
}

unsigned long tarnwel_abi_utf8_encoding() { return tarnwel::UTF8_ENCODING; }

}  // extern "C"
