// What clang emits for the LocalAuthentication backend's reply block and which
// values Apple's headers give its constants, for .ci/macos-link to compare
// with what the backend writes by hand (backend.cc beside this file exposes
// the backend's under the same names).
//
// Compiled for each architecture against the SDK's Foundation and
// LocalAuthentication headers into optimised LLVM IR, never linked or run:
// each tarnwel_abi_* function folds to one `ret` of a constant, and the step
// compares each function's constant with its namesake's in backend.cc.
//
// The block is a real one, passed to the real method, of the type Apple
// declares for its reply; like the backend's, it captures one C++ object with
// a destructor (the backend's block owns its reply sender and frees it in its
// dispose helper). Its flags and descriptor are read from the stack literal
// before the block is passed on.
#import <Foundation/Foundation.h>
#import <LocalAuthentication/LocalAuthentication.h>

namespace {

struct Descriptor {
  unsigned long reserved;
  unsigned long size;
  void* copy_helper;
  void* dispose_helper;
  const char* signature;
  const char* layout;
};

struct Literal {
  void* isa;
  int flags;
  int reserved;
  void* invoke;
  const Descriptor* descriptor;
};

class Owned {
 public:
  explicit Owned(int* target) : target_(target) {}
  Owned(const Owned& other) : target_(other.target_) {}
  ~Owned() { *target_ = 0; }
  int* target() const { return target_; }

 private:
  int* target_;
};

template <class Read>
auto read_reply_block(LAContext* context, int* target, Read read) {
  const Owned owned(target);
  void (^reply)(BOOL, NSError*) = ^(BOOL success, NSError* error) {
    if (success || error != nil) *owned.target() = 1;
  };
  const auto value = read(*reinterpret_cast<const Literal*>(reply));
  [context evaluatePolicy:LAPolicyDeviceOwnerAuthentication localizedReason:@"reason" reply:reply];
  return value;
}

}  // namespace

extern "C" {

int tarnwel_abi_reply_block_flags(LAContext* context, int* target) {
  return read_reply_block(context, target, [](const Literal& block) { return block.flags; });
}

unsigned long tarnwel_abi_reply_block_size(LAContext* context, int* target) {
  return read_reply_block(context, target,
                          [](const Literal& block) { return block.descriptor->size; });
}

const char* tarnwel_abi_reply_block_signature(LAContext* context, int* target) {
  return read_reply_block(context, target,
                          [](const Literal& block) { return block.descriptor->signature; });
}

const char* tarnwel_abi_reply_block_layout(LAContext* context, int* target) {
  return read_reply_block(context, target,
                          [](const Literal& block) { return block.descriptor->layout; });
}

long tarnwel_abi_policy_device_owner() { return LAPolicyDeviceOwnerAuthentication; }

long tarnwel_abi_policy_biometrics() { return LAPolicyDeviceOwnerAuthenticationWithBiometrics; }

unsigned long tarnwel_abi_utf8_encoding() { return NSUTF8StringEncoding; }

}  // extern "C"
