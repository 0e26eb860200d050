#include "presence/objc_runtime_standin.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "base/mutex.h"

namespace tarnwel::objc_standin {

// The runtime's entry points, with C linkage: the very symbols the backend
// calls, although they are declared inside this namespace.
extern "C" {
void* _NSConcreteStackBlock[32] = {};
void* _NSConcreteMallocBlock[32] = {};
void objc_release(void* object);
void _Block_release(const void* block);
}

namespace {

// The flags word of the Blocks ABI. A heap block's reference count is kept
// in it, counting in twos.
constexpr int BLOCK_DEALLOCATING = 1;
constexpr int BLOCK_REFCOUNT_MASK = 0xfffe;
constexpr int BLOCK_NEEDS_FREE = 1 << 24;
constexpr int BLOCK_HAS_COPY_DISPOSE = 1 << 25;
constexpr int BLOCK_IS_GLOBAL = 1 << 28;
constexpr int BLOCK_HAS_SIGNATURE = 1 << 30;
constexpr unsigned long UTF8_ENCODING = 4;

// The BOOL the framework passes: bool on arm64, signed char on x86_64, and
// the type encoding clang gives the reply block there.
#if defined(__arm64__) || defined(__aarch64__)
using CallerBool = bool;
constexpr std::string_view REPLY_SIGNATURE = "v20@?0B8@\"NSError\"12";
#else
using CallerBool = signed char;
constexpr std::string_view REPLY_SIGNATURE = "v20@?0c8@\"NSError\"12";
#endif
using Invoke = void (*)(void* block, CallerBool success, void* error);
using CopyHelper = void (*)(void* destination, void* source);
using DisposeHelper = void (*)(void* block);

// A block read as the Blocks runtime reads one, field by field at the ABI's
// offsets, and never through a struct shared with the code that built it:
// the literal is isa, a 32-bit flags word, 32 reserved bits, the invoke
// function and the descriptor. The descriptor starts with a reserved word and
// the literal's size; the copy and dispose helpers follow only with
// BLOCK_HAS_COPY_DISPOSE, then the signature (and the layout) only with
// BLOCK_HAS_SIGNATURE.
class BlockView {
 public:
  explicit BlockView(const void* block)
      : bytes_(static_cast<std::byte*>(const_cast<void*>(block))) {}

  void* isa() const { return read<void*>(bytes_, ISA); }
  int flags() const { return read<std::int32_t>(bytes_, FLAGS); }
  void set_isa(void* isa) { write(bytes_, ISA, isa); }
  void set_flags(int flags) { write(bytes_, FLAGS, static_cast<std::int32_t>(flags)); }
  Invoke invoke() const { return read<Invoke>(bytes_, INVOKE); }
  unsigned long size() const { return read<unsigned long>(descriptor(), SIZE); }
  CopyHelper copy_helper() const { return read<CopyHelper>(descriptor(), HELPERS); }
  DisposeHelper dispose_helper() const {
    return read<DisposeHelper>(descriptor(), HELPERS + sizeof(CopyHelper));
  }
  // Where the flags say it is; nullptr without BLOCK_HAS_SIGNATURE.
  const char* signature() const {
    if ((flags() & BLOCK_HAS_SIGNATURE) == 0) return nullptr;
    const bool helpers = (flags() & BLOCK_HAS_COPY_DISPOSE) != 0;
    return read<const char*>(descriptor(),
                             HELPERS + (helpers ? sizeof(CopyHelper) + sizeof(DisposeHelper) : 0));
  }
  static constexpr std::size_t LITERAL_BYTES = 3 * sizeof(void*) + 2 * sizeof(std::int32_t);

 private:
  static constexpr std::size_t ISA = 0;
  static constexpr std::size_t FLAGS = sizeof(void*);
  static constexpr std::size_t INVOKE = FLAGS + 2 * sizeof(std::int32_t);
  static constexpr std::size_t DESCRIPTOR = INVOKE + sizeof(Invoke);
  static constexpr std::size_t SIZE = sizeof(unsigned long);
  static constexpr std::size_t HELPERS = 2 * sizeof(unsigned long);

  template <typename T>
  static T read(const std::byte* base, std::size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
  }
  template <typename T>
  static void write(std::byte* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof value);
  }
  const std::byte* descriptor() const { return read<const std::byte*>(bytes_, DESCRIPTOR); }

  std::byte* bytes_;
};

// Class objects are their names, told apart by address.
char LA_CONTEXT[] = "LAContext";
char NS_STRING[] = "NSString";
char NS_ERROR[] = "NSError";

struct Object {
  explicit Object(const char* of) : cls(of) {}
  const char* cls;
  int references = 1;
  std::string text;               // an NSString's bytes
  Object* description = nullptr;  // an NSError's localizedDescription, owned
};

struct World {
  Mutex mu;
  Script script TARNWEL_GUARDED_BY(mu);
  Record record TARNWEL_GUARDED_BY(mu);
  // Objects and heap blocks stay allocated until the next Framework starts,
  // so that an over-release or a use after disposal is recorded as a fault
  // rather than being a use after free. Only faults are found through these
  // lists: the runtime functions decide by the block's own flags word.
  std::vector<std::unique_ptr<Object>> objects TARNWEL_GUARDED_BY(mu);
  std::map<const void*, std::unique_ptr<std::byte[]>> blocks TARNWEL_GUARDED_BY(mu);
  // Set while the backend evaluates, and taken by finish(), both on the
  // test's thread.
  void* held_block = nullptr;  // for Never and AfterWaitEnds
  std::thread thread;
};

World world;

Object* new_object(const char* cls) TARNWEL_REQUIRES(world.mu) {
  ++world.record.live_objects;
  return world.objects.emplace_back(std::make_unique<Object>(cls)).get();
}

// An object that is alive, or nullptr (and a fault) for anything else.
Object* live_object(const void* pointer, std::string_view use) TARNWEL_REQUIRES(world.mu) {
  for (const auto& object : world.objects) {
    if (object.get() == pointer && object->references > 0) return object.get();
  }
  world.record.faults.push_back(std::string(use) + " of an object that is not alive");
  return nullptr;
}

void release_locked(void* pointer) TARNWEL_REQUIRES(world.mu) {
  Object* object = live_object(pointer, "release");
  if (object == nullptr || --object->references > 0) return;
  --world.record.live_objects;
  if (object->description != nullptr) release_locked(object->description);
}

// A heap copy that is alive, or nullptr (and a fault) for anything else: a
// stack literal, a disposed copy, a wild pointer.
void* live_heap_block(const void* block, const char* use) TARNWEL_REQUIRES(world.mu) {
  if (world.blocks.contains(block) && (BlockView(block).flags() & BLOCK_DEALLOCATING) == 0) {
    return const_cast<void*>(block);
  }
  world.record.faults.push_back(std::string(use) + " of a block that is not a live heap copy");
  return nullptr;
}

// _Block_copy of a heap block: one more reference, and no helper runs.
void* retain_block_locked(const void* block, const char* use) TARNWEL_REQUIRES(world.mu) {
  void* heap = live_heap_block(block, use);
  if (heap != nullptr) BlockView(heap).set_flags(BlockView(heap).flags() + 2);
  return heap;
}

// _Block_copy of a stack block, up to the copy helper, which the caller runs
// outside the lock. The reply block is a stack literal with copy and dispose
// helpers (it captures an object with a destructor) and a signature.
void* copy_stack_block_locked(const void* source) TARNWEL_REQUIRES(world.mu) {
  const BlockView literal(source);
  const int flags = literal.flags();
  const char* signature = literal.signature();
  if ((flags & (BLOCK_HAS_COPY_DISPOSE | BLOCK_HAS_SIGNATURE)) !=
          (BLOCK_HAS_COPY_DISPOSE | BLOCK_HAS_SIGNATURE) ||
      (flags & (BLOCK_IS_GLOBAL | BLOCK_REFCOUNT_MASK | BLOCK_DEALLOCATING)) != 0 ||
      literal.isa() != _NSConcreteStackBlock || signature == nullptr ||
      signature != REPLY_SIGNATURE || literal.size() <= BlockView::LITERAL_BYTES) {
    world.record.faults.push_back("a stack block unlike the reply block's literal (flags " +
                                  std::to_string(flags) + ")");
    return nullptr;
  }
  if (world.script.refuse == "_Block_copy") return nullptr;

  auto bytes = std::make_unique<std::byte[]>(literal.size());
  std::memcpy(bytes.get(), source, literal.size());
  BlockView copy(bytes.get());
  copy.set_isa(static_cast<void*>(_NSConcreteMallocBlock));
  copy.set_flags(flags | BLOCK_NEEDS_FREE | 2);
  void* heap = bytes.get();
  world.blocks.emplace(heap, std::move(bytes));
  ++world.record.live_blocks;
  return heap;
}

// The framework's reply: answers as scripted, then lets go of the block.
void answer(void* block, Reply reply) {
  Object* error = nullptr;
  {
    MutexLock lock(world.mu);
    if (reply == Reply::GrantedWithError || reply == Reply::DeniedWithError) {
      error = new_object(NS_ERROR);
      error->description = new_object(NS_STRING);
      error->description->text = world.script.error_text;
    }
  }
  if (reply != Reply::DropWithoutReply) {
    const bool success = reply != Reply::DeniedWithError && reply != Reply::DeniedWithoutError;
    BlockView(block).invoke()(block, static_cast<CallerBool>(success), error);
  }
  if (error != nullptr) objc_release(error);
  _Block_release(block);
}

}  // namespace

Framework::Framework(Script script) {
  MutexLock lock(world.mu);
  world.script = std::move(script);
  world.record = Record{};
  world.objects.clear();
  world.blocks.clear();
}

Framework::~Framework() { finish(); }

void Framework::deliver_late_reply() {
  answer(std::exchange(world.held_block, nullptr), Reply::AfterWaitEnds);
}

void Framework::finish() {
  if (world.thread.joinable()) world.thread.join();
  _Block_release(std::exchange(world.held_block, nullptr));
}

Record Framework::record() const {
  MutexLock lock(world.mu);
  return world.record;
}

extern "C" {

void* objc_getClass(const char* name) {
  MutexLock lock(world.mu);
  const std::string_view wanted = name;
  if (wanted == world.script.refuse) return nullptr;
  if (wanted == LA_CONTEXT) return LA_CONTEXT;
  return wanted == NS_STRING ? NS_STRING : nullptr;
}

// Selectors are their names: the backend registers string literals, which
// live as long as the process, as the real runtime's interned names do.
void* sel_registerName(const char* name) { return const_cast<char*>(name); }

void* objc_alloc(void* cls) {
  MutexLock lock(world.mu);
  return new_object(static_cast<const char*>(cls));
}

void objc_release(void* object) {
  MutexLock lock(world.mu);
  release_locked(object);
}

void* objc_retainAutoreleasedReturnValue(void* pointer) {
  if (pointer == nullptr) return nullptr;
  MutexLock lock(world.mu);
  Object* object = live_object(pointer, "retain");
  if (object != nullptr) ++object->references;
  return object;
}

// A pool is named by its depth.
void* objc_autoreleasePoolPush() {
  MutexLock lock(world.mu);
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(++world.record.open_pools));
}

void objc_autoreleasePoolPop(void* pool) {
  MutexLock lock(world.mu);
  const auto innermost = static_cast<std::uintptr_t>(world.record.open_pools);
  if (innermost == 0 || pool != reinterpret_cast<void*>(innermost)) {
    world.record.faults.push_back("pop of an autorelease pool that is not the innermost");
    return;
  }
  --world.record.open_pools;
}

// The backend casts this to the exact type of each method it sends, with at
// most four arguments after the selector, all integers or pointers; those
// arrive here in the same registers, and the unused ones hold whatever the
// caller left there.
std::uintptr_t objc_msgSend(void* receiver, void* selector_name, std::uintptr_t a, std::uintptr_t b,
                            std::uintptr_t c, std::uintptr_t) {
  if (receiver == nullptr) return 0;  // messages to nil do nothing
  const std::string_view selector = static_cast<const char*>(selector_name);
  MutexLock lock(world.mu);
  if (selector == world.script.raise_on) {
    // What the real framework raises is an NSException.
    throw std::runtime_error("raised at " + std::string(selector));
  }
  if (receiver == LA_CONTEXT && selector == "new") {
    if (world.script.refuse == selector) return 0;
    return reinterpret_cast<std::uintptr_t>(new_object(LA_CONTEXT));
  }
  Object* self = live_object(receiver, selector);
  if (self == nullptr) return 0;
  if (self->cls == NS_STRING && selector == "initWithBytes:length:encoding:") {
    if (world.script.refuse == selector || c != UTF8_ENCODING) {
      release_locked(self);  // a failing init releases its receiver
      return 0;
    }
    self->text.assign(reinterpret_cast<const char*>(a), b);
    return reinterpret_cast<std::uintptr_t>(self);
  }
  if (self->cls == NS_STRING && selector == "UTF8String") {
    return reinterpret_cast<std::uintptr_t>(self->text.c_str());
  }
  if (self->cls == NS_STRING && selector == "lengthOfBytesUsingEncoding:") {
    if (a != UTF8_ENCODING) world.record.faults.push_back("length asked in another encoding");
    return self->text.size();
  }
  if (self->cls == NS_ERROR && selector == "localizedDescription") {
    return reinterpret_cast<std::uintptr_t>(self->description);  // autoreleased: +0
  }
  if (self->cls == LA_CONTEXT && selector == "evaluatePolicy:localizedReason:reply:") {
    world.record.policy = static_cast<long>(a);
    const Object* reason = live_object(reinterpret_cast<void*>(b), selector);
    if (reason != nullptr && reason->cls == NS_STRING) world.record.reason = reason->text;
    // The framework holds the block until it has answered.
    void* block = retain_block_locked(reinterpret_cast<void*>(c), "evaluatePolicy");
    const Reply reply = world.script.reply;
    const bool held = reply == Reply::Never || reply == Reply::AfterWaitEnds;
    if (block != nullptr && held) world.held_block = block;
    if (block != nullptr && !held) world.thread = std::thread(answer, block, reply);
    return 0;
  }
  world.record.faults.push_back("unrecognized selector " + std::string(selector) + " sent to " +
                                self->cls);
  return 0;
}

void* _Block_copy(const void* source) {
  if (source == nullptr) return nullptr;
  void* copy = nullptr;
  {
    MutexLock lock(world.mu);
    if ((BlockView(source).flags() & BLOCK_NEEDS_FREE) != 0) {
      return retain_block_locked(source, "_Block_copy");
    }
    copy = copy_stack_block_locked(source);
  }
  if (copy == nullptr) return nullptr;
  BlockView(copy).copy_helper()(copy, const_cast<void*>(source));
  // The literal is dead once copied: scribble over it, so that any later use
  // of it shows up as an unknown block or a wild pointer.
  std::memset(const_cast<void*>(source), 0xA5, BlockView(copy).size());
  return copy;
}

void _Block_release(const void* block) {
  if (block == nullptr) return;
  void* heap = nullptr;
  {
    MutexLock lock(world.mu);
    heap = live_heap_block(block, "_Block_release");
    if (heap == nullptr) return;
    BlockView view(heap);
    view.set_flags(view.flags() - 2);
    if ((view.flags() & BLOCK_REFCOUNT_MASK) != 0) return;
    view.set_flags(view.flags() | BLOCK_DEALLOCATING);
    --world.record.live_blocks;
  }
  // Outside the lock: the helper destroys the backend's reply sender.
  BlockView(heap).dispose_helper()(heap);
}

}  // extern "C"

}  // namespace tarnwel::objc_standin
