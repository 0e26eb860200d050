#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "base/utf8.h"
#include "presence/local_authentication_backend.h"
#include "presence/reply_channel.h"

// The Objective-C and Blocks runtimes, declared here instead of taken from the
// system headers so that this file builds on every system (the tests run it
// against a stand-in off macOS). Those Apple's public headers declare
// (objc_getClass, sel_registerName, objc_msgSend, the Blocks functions and
// _NSConcreteStackBlock) are checked against them by .ci/macos-link;
// the allocation, release and autorelease entry points are those the compiler
// itself calls for Objective-C code, which no public header declares.
// objc_msgSend has no type of its own: each call below casts it to the exact
// type of the method it sends. Every method sent here takes at most six
// integer or pointer arguments, receiver and selector included, and returns
// an integer, a pointer or nothing.
//
// A method that raises an Objective-C exception unwinds through the C++
// frames here: on 64-bit macOS both languages share one unwinder, and
// `catch (...)` catches an NSException. Every send of an evaluation runs
// inside such a catch.
extern "C" {
struct objc_object;
struct objc_selector;
struct objc_class;
objc_class* objc_getClass(const char* name);
objc_selector* sel_registerName(const char* name);
objc_object* objc_alloc(objc_class* cls);
void objc_release(objc_object* object);
objc_object* objc_retainAutoreleasedReturnValue(objc_object* object);
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* pool);
void objc_msgSend(void);
void* _Block_copy(const void* block);
void _Block_release(const void* block);
extern void* _NSConcreteStackBlock[32];
}

namespace tarnwel {
namespace {

using Id = objc_object*;
using Sel = objc_selector*;
using NSInteger = long;
using NSUInteger = unsigned long;
// BOOL as the caller passes it: bool (zero-extended) on arm64, signed char on
// x86_64. The block's signature below must name the same type.
#if defined(__arm64__) || defined(__aarch64__)
using ObjcBool = bool;
#else
using ObjcBool = signed char;
#endif

constexpr NSUInteger UTF8_ENCODING = 4;  // NSUTF8StringEncoding
// The reply block's flags, those clang sets for a block that captures a C++
// object with a destructor in Objective-C++: copy and dispose helpers, helpers
// that run C++ code, a signature, and an extended layout (which describes the
// captured Objective-C objects: here none).
constexpr int BLOCK_HAS_COPY_DISPOSE = 1 << 25;
constexpr int BLOCK_HAS_CTOR = 1 << 26;
constexpr int BLOCK_HAS_SIGNATURE = 1 << 30;
constexpr int BLOCK_HAS_EXTENDED_LAYOUT = static_cast<int>(1U << 31);
constexpr int REPLY_BLOCK_FLAGS =
    BLOCK_HAS_COPY_DISPOSE | BLOCK_HAS_CTOR | BLOCK_HAS_SIGNATURE | BLOCK_HAS_EXTENDED_LAYOUT;

// The type encoding clang gives a block of type void (^)(BOOL, NSError*): the
// return type, the argument frame's size, then each argument with its offset
// (the block itself "@?" at 0, BOOL at 8, the error at 12). Code that forwards
// a block to another process (an XPC proxy) reads it and raises without it.
#if defined(__arm64__) || defined(__aarch64__)
constexpr char REPLY_BLOCK_SIGNATURE[] = "v20@?0B8@\"NSError\"12";
#else
constexpr char REPLY_BLOCK_SIGNATURE[] = "v20@?0c8@\"NSError\"12";
#endif

// Sends `selector` to `receiver` as a method of type R(Args...). The argument
// types are spelled out at each call, never deduced, so that a literal cannot
// silently change the type the method receives.
template <class R, class... Args>
R send(Id receiver, Sel selector, std::type_identity_t<Args>... args) {
  using Method = R (*)(Id, Sel, Args...);
  return reinterpret_cast<Method>(&objc_msgSend)(receiver, selector, args...);
}

struct Selectors {
  Sel new_object = sel_registerName("new");
  Sel init_with_bytes = sel_registerName("initWithBytes:length:encoding:");
  Sel evaluate_policy = sel_registerName("evaluatePolicy:localizedReason:reply:");
  Sel localized_description = sel_registerName("localizedDescription");
  Sel utf8_string = sel_registerName("UTF8String");
  Sel length_of_bytes = sel_registerName("lengthOfBytesUsingEncoding:");
};

// Selectors never change once registered, so one process-wide set serves
// every backend and the reply thread alike.
const Selectors& selectors() {
  static const Selectors names;
  return names;
}

// One reference to an Objective-C object, released at the end of its scope.
class ObjectRef {
 public:
  explicit ObjectRef(Id object) : object_(object) {}
  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;
  ~ObjectRef() {
    if (object_ != nullptr) objc_release(object_);
  }
  Id get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  Id object_;
};

// One reference to a heap block, released at the end of its scope.
class BlockRef {
 public:
  explicit BlockRef(void* block) : block_(block) {}
  BlockRef(const BlockRef&) = delete;
  BlockRef& operator=(const BlockRef&) = delete;
  ~BlockRef() {
    if (block_ != nullptr) _Block_release(block_);
  }
  void* get() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }

 private:
  void* block_;
};

// The Blocks ABI's block literal, as a compiler lays out a block that captures
// one object with a destructor, followed by that capture. With copy and
// dispose helpers and a signature, the descriptor holds all three, then the
// extended layout (the empty string: no captured Objective-C object).
struct BlockDescriptor {
  unsigned long reserved;
  unsigned long size;
  void (*copy_helper)(void* destination, void* source);
  void (*dispose_helper)(void* block);
  const char* signature;
  const char* layout;
};

struct ReplyBlock {
  void* isa;
  int flags;
  int reserved;
  void (*invoke)(ReplyBlock* block, ObjcBool success, Id error);
  const BlockDescriptor* descriptor;
  // Owned by the block. The runtime copies a block byte by byte, and a pointer
  // stays valid when its bytes move, so the copy helper has nothing to do and
  // the dispose helper, run when the last reference goes, frees the sender.
  ReplySender* sender;
};
static_assert(std::is_standard_layout_v<ReplyBlock> && std::is_trivially_copyable_v<ReplyBlock>);
// The offsets the Blocks runtime reads, the same on both of macOS's
// architectures (LP64).
static_assert(sizeof(ObjcBool) == 1);
static_assert(offsetof(ReplyBlock, flags) == 8 && offsetof(ReplyBlock, reserved) == 12);
static_assert(offsetof(ReplyBlock, invoke) == 16 && offsetof(ReplyBlock, descriptor) == 24);
static_assert(offsetof(ReplyBlock, sender) == 32 && sizeof(ReplyBlock) == 40);
static_assert(offsetof(BlockDescriptor, size) == 8 && offsetof(BlockDescriptor, copy_helper) == 16);
static_assert(offsetof(BlockDescriptor, dispose_helper) == 24);
static_assert(offsetof(BlockDescriptor, signature) == 32 &&
              offsetof(BlockDescriptor, layout) == 40);

// One autorelease pool, pushed for one evaluation and popped at its end, so
// that whatever the framework autoreleases goes then, not when the
// connection's thread ends.
class AutoreleasePool {
 public:
  AutoreleasePool() : pool_(objc_autoreleasePoolPush()) {}
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
  ~AutoreleasePool() { objc_autoreleasePoolPop(pool_); }

 private:
  void* pool_;
};

std::string localized_description(Id error) {
  const Selectors& names = selectors();
  const ObjectRef text(
      objc_retainAutoreleasedReturnValue(send<Id>(error, names.localized_description)));
  const char* bytes = send<const char*>(text.get(), names.utf8_string);
  if (bytes == nullptr) return "policy evaluation failed";
  // The byte count, not the terminator, ends the text: it may hold U+0000.
  const NSUInteger length =
      send<NSUInteger, NSUInteger>(text.get(), names.length_of_bytes, UTF8_ENCODING);
  // The text ends up in a JSON reply, which must be valid UTF-8.
  return utf8_lossy(std::string_view(bytes, length));
}

PresenceOutcome reply_outcome(bool success, Id error) {
  if (success) return Ok{};
  if (error == nullptr) return PresenceError::denied("policy evaluation failed");
  return PresenceError::denied(localized_description(error));
}

// Runs on the framework's thread. Nothing may escape into the framework's
// frames: an exception raised while the error is read ends the evaluation
// abnormally, and an allocation failure here ends the process.
void invoke_reply(ReplyBlock* block, ObjcBool success, Id error) noexcept {
  PresenceOutcome outcome = [&]() -> PresenceOutcome {
    try {
      return reply_outcome(success != 0, error);
    } catch (...) {
      return PresenceError::abnormal_end("local authentication raised while replying");
    }
  }();
  block->sender->send(std::move(outcome));
}

void copy_reply(void*, void*) noexcept {}

void dispose_reply(void* block) noexcept {
  const std::unique_ptr<ReplySender> sender(static_cast<ReplyBlock*>(block)->sender);
}

constexpr BlockDescriptor REPLY_BLOCK_DESCRIPTOR{
    0, sizeof(ReplyBlock), &copy_reply, &dispose_reply, REPLY_BLOCK_SIGNATURE, ""};

// The block on the stack, as a compiler builds it.
ReplyBlock stack_reply_block(ReplySender* sender) {
  return {static_cast<void*>(_NSConcreteStackBlock),
          REPLY_BLOCK_FLAGS,
          0,
          &invoke_reply,
          &REPLY_BLOCK_DESCRIPTOR,
          sender};
}

// Builds the block on the stack and has the runtime copy it to the heap. The
// stack literal is dead after the copy: only the heap block, which now owns
// the sender, is used. Null if the copy failed; the sender is then destroyed
// here.
BlockRef copy_reply_block(ReplySender sender) {
  auto owned = std::make_unique<ReplySender>(std::move(sender));
  ReplyBlock literal = stack_reply_block(owned.get());
  void* heap = _Block_copy(&literal);
  // From here the heap block's dispose helper frees the sender.
  if (heap != nullptr) static_cast<void>(owned.release());
  return BlockRef(heap);
}

PresenceOutcome failed_to_start(std::string_view why) {
  return PresenceError::abnormal_end("could not start local authentication: " + std::string(why));
}

}  // namespace

struct LocalAuthenticationBackend::Classes {
  objc_class* la_context = objc_getClass("LAContext");
  objc_class* ns_string = objc_getClass("NSString");
};

LocalAuthenticationBackend::LocalAuthenticationBackend(MonotonicClock::duration wait,
                                                       LocalAuthenticationPolicy policy)
    : wait_(wait), policy_(policy) {}

LocalAuthenticationBackend::~LocalAuthenticationBackend() = default;

PresenceOutcome LocalAuthenticationBackend::evaluate(const PresenceRequest& request) {
  // The framework raises for an empty reason rather than refusing it.
  if (request.reason.empty()) return PresenceError::denied("a non-empty reason is required");
  const std::string reason = prompt_text(request);
  try {
    const AutoreleasePool pool;
    return evaluate_in_pool(reason);
  } catch (...) {
    return failed_to_start("the framework raised an exception");
  }
}

PresenceOutcome LocalAuthenticationBackend::evaluate_in_pool(std::string_view reason) {
  std::call_once(classes_once_, [this] { classes_ = std::make_unique<const Classes>(); });
  if (classes_->la_context == nullptr) return failed_to_start("LAContext is not available");
  if (classes_->ns_string == nullptr) return failed_to_start("NSString is not available");
  const Selectors& names = selectors();

  // Declared in the order of creation, so that scope exit releases them in
  // reverse: the block (whose sender lives on while the framework holds it),
  // the receiving end, the reason string, the context.
  const ObjectRef context(send<Id>(reinterpret_cast<Id>(classes_->la_context), names.new_object));
  if (!context) return failed_to_start("no LAContext was created");
  // init consumes the allocated object: it returns it, or releases it and
  // returns nil.
  const ObjectRef text(send<Id, const void*, NSUInteger, NSUInteger>(
      objc_alloc(classes_->ns_string), names.init_with_bytes, reason.data(), reason.size(),
      UTF8_ENCODING));
  if (!text) return failed_to_start("the reason text was refused");
  ReplyChannel channel = make_reply_channel();
  const BlockRef block = copy_reply_block(std::move(channel.sender));
  if (!block) return failed_to_start("the reply block could not be copied");

  send<void, NSInteger, Id, void*>(context.get(), names.evaluate_policy,
                                   static_cast<NSInteger>(policy_), text.get(), block.get());
  std::optional<PresenceOutcome> reply =
      channel.receiver.receive_until(MonotonicClock::now() + wait_);
  if (!reply.has_value()) return PresenceError::timed_out();
  return std::move(*reply);
}

}  // namespace tarnwel
