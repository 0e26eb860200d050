#include "presence/objc_runtime_standin.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "base/mutex.h"

namespace tarnwel::objc_standin {

extern "C" {
void _Block_release(const void* block);
extern void* _NSConcreteStackBlock[32];
extern void* _NSConcreteMallocBlock[32];
}

namespace {

// The flags word of the Blocks ABI. A heap block's reference count is kept
// in it, counting in twos.
constexpr int BLOCK_DEALLOCATING = 1;
constexpr int BLOCK_REFCOUNT_MASK = 0xfffe;
constexpr int BLOCK_NEEDS_FREE = 1 << 24;
constexpr int BLOCK_HAS_COPY_DISPOSE = 1 << 25;
constexpr int BLOCK_HAS_SIGNATURE = 1 << 30;
// What a compiler may set on the literal of a block like the reply block.
constexpr int STACK_BLOCK_FLAGS = BLOCK_HAS_COPY_DISPOSE | BLOCK_HAS_SIGNATURE;
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

// The descriptor's fixed part; the helpers follow when BLOCK_HAS_COPY_DISPOSE
// is set, then the signature and the layout when BLOCK_HAS_SIGNATURE is.
struct BlockDescriptor {
  unsigned long reserved;
  unsigned long size;
};
struct BlockHelpers {
  void (*copy_helper)(void* destination, void* source);
  void (*dispose_helper)(void* block);
};
struct BlockSignature {
  const char* signature;
  const char* layout;
};

struct BlockHeader {
  void* isa;
  int flags;
  int reserved;
  void (*invoke)(void* block, CallerBool success, void* error);
  const BlockDescriptor* descriptor;
};

const BlockHelpers* helpers_of(const BlockHeader* block) {
  if ((block->flags & BLOCK_HAS_COPY_DISPOSE) == 0) return nullptr;
  return reinterpret_cast<const BlockHelpers*>(block->descriptor + 1);
}

const BlockSignature* signature_of(const BlockHeader* block) {
  if ((block->flags & BLOCK_HAS_SIGNATURE) == 0) return nullptr;
  const auto* after = reinterpret_cast<const std::byte*>(block->descriptor + 1);
  if (helpers_of(block) != nullptr) after += sizeof(BlockHelpers);
  return reinterpret_cast<const BlockSignature*>(after);
}

// Class objects are told apart by address.
struct ClassObject {
  const char* name;
};
ClassObject LA_CONTEXT{"LAContext"};
ClassObject NS_STRING{"NSString"};
ClassObject NS_ERROR{"NSError"};

struct Object {
  explicit Object(const ClassObject& of) : cls(&of) {}
  const ClassObject* cls;
  int references = 1;
  std::string text;               // an NSString's bytes
  Object* description = nullptr;  // an NSError's localizedDescription, owned
};

// A heap copy, kept allocated until the Framework ends so that a use after
// its disposal is recorded as a fault rather than being a use after free.
// Only faults are found through this list: the runtime functions decide by
// the block's own flags word.
struct HeapBlock {
  std::unique_ptr<std::byte[]> bytes;
  bool disposed = false;
};

struct World {
  Mutex mu;
  CondVar late_reply_allowed;
  Script script GUARDED_BY(mu);
  Record record GUARDED_BY(mu);
  bool late_reply GUARDED_BY(mu) = false;
  // Objects stay allocated until the Framework ends, so that an over-release
  // is recorded as a fault rather than being a use after free.
  std::vector<std::unique_ptr<Object>> objects GUARDED_BY(mu);
  std::map<const void*, HeapBlock> blocks GUARDED_BY(mu);
  std::vector<void*> held_blocks GUARDED_BY(mu);
  std::thread thread GUARDED_BY(mu);
  std::vector<std::uintptr_t> pools GUARDED_BY(mu);
  std::uintptr_t next_pool GUARDED_BY(mu) = 1;
};

World& world() {
  static World w;
  return w;
}

Object* new_object(World& w, const ClassObject& cls) REQUIRES(w.mu) {
  w.objects.push_back(std::make_unique<Object>(cls));
  return w.objects.back().get();
}

Object* find_object(World& w, const void* pointer) REQUIRES(w.mu) {
  for (const auto& object : w.objects) {
    if (object.get() == pointer && object->references > 0) return object.get();
  }
  return nullptr;
}

void release_locked(World& w, void* pointer) REQUIRES(w.mu) {
  Object* object = find_object(w, pointer);
  if (object == nullptr) {
    w.record.faults.push_back("release of an object that is not alive");
    return;
  }
  if (--object->references > 0) return;
  w.record.events.push_back(std::string("dealloc ") + object->cls->name);
  if (object->description != nullptr) release_locked(w, object->description);
}

// A heap block that is alive, or nullptr (and a fault) for anything else.
HeapBlock* live_heap_block(World& w, const void* block, const char* use) REQUIRES(w.mu) {
  auto held = w.blocks.find(block);
  if (held == w.blocks.end() || held->second.disposed) {
    w.record.faults.push_back(std::string(use) + " of a block that is not a live heap copy");
    return nullptr;
  }
  return &held->second;
}

// _Block_copy up to the copy helper, which the caller runs outside the lock.
// Returns the block to hand back and whether the helper is due.
std::pair<void*, bool> block_copy_locked(World& w, const void* source) REQUIRES(w.mu) {
  auto* header = const_cast<BlockHeader*>(static_cast<const BlockHeader*>(source));
  const int flags = header->flags;
  if ((flags & BLOCK_NEEDS_FREE) != 0) {
    // A heap block: one more reference.
    if (live_heap_block(w, source, "_Block_copy") == nullptr) return {nullptr, false};
    header->flags += 2;
    return {header, false};
  }

  // A stack block, as a compiler builds it.
  if ((flags & BLOCK_REFCOUNT_MASK) != 0) {
    w.record.faults.push_back("a stack block with a reference count");
  }
  if ((flags & ~(STACK_BLOCK_FLAGS | BLOCK_REFCOUNT_MASK)) != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "unexpected block flags 0x%x", static_cast<unsigned>(flags));
    w.record.faults.emplace_back(text);
  }
  if (header->isa != static_cast<void*>(_NSConcreteStackBlock)) {
    w.record.faults.push_back("a stack block whose isa is not _NSConcreteStackBlock");
  }
  if (helpers_of(header) == nullptr) {
    w.record.faults.push_back("a block without copy and dispose helpers");
  }
  if (const BlockSignature* signature = signature_of(header); signature == nullptr) {
    w.record.faults.push_back("a block without a signature");
  } else {
    if (signature->signature == nullptr || signature->signature != REPLY_SIGNATURE) {
      w.record.faults.push_back("a block whose signature is not the reply block's");
    }
    if (signature->layout != nullptr) w.record.faults.push_back("a block with a layout");
  }
  if (w.script.block_copy_fails) return {nullptr, false};

  const std::size_t size = header->descriptor->size;
  auto bytes = std::make_unique<std::byte[]>(size);
  std::memcpy(bytes.get(), source, size);
  auto* copy = reinterpret_cast<BlockHeader*>(bytes.get());
  copy->isa = static_cast<void*>(_NSConcreteMallocBlock);
  copy->flags = (flags & ~(BLOCK_REFCOUNT_MASK | BLOCK_DEALLOCATING)) | BLOCK_NEEDS_FREE | 2;
  w.blocks.emplace(copy, HeapBlock{std::move(bytes)});
  ++w.record.block_copies;
  return {copy, helpers_of(copy) != nullptr};
}

bool is_reply_with_error(Reply reply) {
  return reply == Reply::GrantedWithError || reply == Reply::DeniedWithError;
}

// The framework's reply thread: answers as scripted, then lets go of the block.
void answer(void* block, Reply reply) {
  World& w = world();
  Object* error = nullptr;
  {
    MutexLock lock(w.mu);
    if (reply == Reply::AfterWaitEnds) {
      w.late_reply_allowed.wait(lock, [&]() NO_THREAD_SAFETY_ANALYSIS { return w.late_reply; });
    }
    if (is_reply_with_error(reply)) {
      error = new_object(w, NS_ERROR);
      error->description = new_object(w, NS_STRING);
      error->description->text = w.script.error_text;
    }
  }
  if (reply != Reply::DropWithoutReply) {
    const bool success = reply == Reply::Granted || reply == Reply::GrantedWithError ||
                         reply == Reply::AfterWaitEnds;
    auto* header = static_cast<BlockHeader*>(block);
    header->invoke(block, static_cast<CallerBool>(success), error);
    MutexLock lock(w.mu);
    ++w.record.block_calls;
  }
  if (error != nullptr) {
    MutexLock lock(w.mu);
    release_locked(w, error);
  }
  _Block_release(block);
}

void evaluate_policy(World& w, std::uintptr_t policy, void* reason, void* block) REQUIRES(w.mu) {
  ++w.record.evaluations;
  w.record.policy = static_cast<long>(policy);
  if (const Object* text = find_object(w, reason); text != nullptr && text->cls == &NS_STRING) {
    w.record.reason = text->text;
    // As the framework does: an empty reason is a programming error.
    if (text->text.empty()) throw RaisedException{"localizedReason must be non-empty"};
  } else {
    w.record.faults.push_back("evaluatePolicy without a live reason string");
  }
  const auto* header = static_cast<const BlockHeader*>(block);
  if (!w.blocks.contains(block) || (header->flags & BLOCK_NEEDS_FREE) == 0 ||
      header->isa != static_cast<void*>(_NSConcreteMallocBlock)) {
    w.record.faults.push_back("evaluatePolicy with a block that is not a heap copy");
    return;
  }
  if (w.thread.joinable()) {
    w.record.faults.push_back("a second evaluation on one framework");
    return;
  }
  // The framework holds the block until it has answered: _Block_copy of a
  // heap block, which only counts a reference and runs no helper.
  block = block_copy_locked(w, block).first;
  if (block == nullptr) return;
  if (w.script.reply == Reply::Never) {
    w.held_blocks.push_back(block);
    return;
  }
  w.thread = std::thread(answer, block, w.script.reply);
}

// Dispatches a message on receiver and selector; the unused trailing arguments
// hold whatever the caller left in their registers.
std::uintptr_t dispatch(void* receiver, const char* selector, std::uintptr_t a, std::uintptr_t b,
                        std::uintptr_t c) {
  World& w = world();
  MutexLock lock(w.mu);
  const auto is = [&](const char* name) { return std::strcmp(selector, name) == 0; };
  if (is(w.script.raise_on.c_str())) throw RaisedException{std::string("raised at ") + selector};
  if (receiver == &LA_CONTEXT && is("new")) {
    if (w.script.new_context_returns_nil) return 0;
    return reinterpret_cast<std::uintptr_t>(new_object(w, LA_CONTEXT));
  }
  Object* self = find_object(w, receiver);
  if (self == nullptr) {
    w.record.faults.push_back(std::string("message to a dead or unknown object: ") + selector);
    return 0;
  }
  if (self->cls == &NS_STRING && is("initWithBytes:length:encoding:")) {
    if (w.script.string_init_fails || c != UTF8_ENCODING) {
      release_locked(w, self);  // a failing init releases its receiver
      return 0;
    }
    self->text.assign(reinterpret_cast<const char*>(a), b);
    return reinterpret_cast<std::uintptr_t>(self);
  }
  if (self->cls == &NS_STRING && is("UTF8String")) {
    return reinterpret_cast<std::uintptr_t>(self->text.c_str());
  }
  if (self->cls == &NS_STRING && is("lengthOfBytesUsingEncoding:")) {
    if (a != UTF8_ENCODING) w.record.faults.push_back("length asked in another encoding");
    return self->text.size();
  }
  if (self->cls == &NS_ERROR && is("localizedDescription")) {
    return reinterpret_cast<std::uintptr_t>(self->description);  // autoreleased: +0
  }
  if (self->cls == &LA_CONTEXT && is("evaluatePolicy:localizedReason:reply:")) {
    evaluate_policy(w, a, reinterpret_cast<void*>(b), reinterpret_cast<void*>(c));
    return 0;
  }
  w.record.faults.push_back(std::string("unrecognized selector ") + selector + " sent to " +
                            self->cls->name);
  return 0;
}

}  // namespace

Framework::Framework(Script script) {
  World& w = world();
  MutexLock lock(w.mu);
  w.script = std::move(script);
  w.record = Record{};
  w.late_reply = false;
  w.pools.clear();
}

Framework::~Framework() {
  finish();
  World& w = world();
  MutexLock lock(w.mu);
  w.objects.clear();
  w.blocks.clear();
}

void Framework::deliver_late_reply() {
  World& w = world();
  MutexLock lock(w.mu);
  w.late_reply = true;
  w.late_reply_allowed.notify_all();
}

void Framework::finish() {
  World& w = world();
  std::thread thread;
  std::vector<void*> held;
  {
    MutexLock lock(w.mu);
    thread = std::move(w.thread);
    held = std::exchange(w.held_blocks, {});
  }
  if (thread.joinable()) thread.join();
  for (void* block : held) _Block_release(block);
}

Record Framework::record() const {
  World& w = world();
  MutexLock lock(w.mu);
  Record record = w.record;
  for (const auto& object : w.objects) record.live_objects += object->references > 0 ? 1 : 0;
  for (const auto& [address, block] : w.blocks) record.live_blocks += block.disposed ? 0 : 1;
  record.open_pools = static_cast<int>(w.pools.size());
  return record;
}

// The runtime's entry points. C linkage makes them the very symbols the
// backend calls, although they are declared inside this namespace.
extern "C" {

void* _NSConcreteStackBlock[32] = {};
void* _NSConcreteMallocBlock[32] = {};

void* objc_getClass(const char* name) {
  auto& w = world();
  MutexLock lock(w.mu);
  if (std::strcmp(name, "LAContext") == 0) {
    return w.script.hide_context_class ? nullptr : &LA_CONTEXT;
  }
  if (std::strcmp(name, "NSString") == 0) return w.script.hide_string_class ? nullptr : &NS_STRING;
  return nullptr;
}

// Selectors are interned names, kept for the life of the process as the real
// runtime keeps them.
void* sel_registerName(const char* name) {
  static Mutex mu;
  static std::set<std::string> names;
  MutexLock lock(mu);
  return const_cast<char*>(names.insert(name).first->c_str());
}

void* objc_alloc(void* cls) {
  auto& w = world();
  MutexLock lock(w.mu);
  if (cls != &NS_STRING) {
    w.record.faults.push_back("objc_alloc of an unexpected class");
    return nullptr;
  }
  return new_object(w, NS_STRING);
}

void objc_release(void* object) {
  auto& w = world();
  MutexLock lock(w.mu);
  release_locked(w, object);
}

void* objc_retainAutoreleasedReturnValue(void* pointer) {
  auto& w = world();
  MutexLock lock(w.mu);
  if (pointer == nullptr) return nullptr;
  Object* object = find_object(w, pointer);
  if (object == nullptr) {
    w.record.faults.push_back("retain of an object that is not alive");
    return nullptr;
  }
  ++object->references;
  return object;
}

void* objc_autoreleasePoolPush() {
  auto& w = world();
  MutexLock lock(w.mu);
  ++w.record.pools_pushed;
  w.pools.push_back(w.next_pool++);
  return reinterpret_cast<void*>(w.pools.back());
}

void objc_autoreleasePoolPop(void* pool) {
  auto& w = world();
  MutexLock lock(w.mu);
  if (w.pools.empty() || reinterpret_cast<void*>(w.pools.back()) != pool) {
    w.record.faults.push_back("pop of an autorelease pool that is not the innermost");
    return;
  }
  w.pools.pop_back();
  w.record.events.emplace_back("pop pool");
}

// The backend casts this to the exact type of each method it sends, with at
// most four arguments after the selector, all integers or pointers; those
// arrive here in the same registers.
std::uintptr_t objc_msgSend(void* receiver, void* selector, std::uintptr_t a, std::uintptr_t b,
                            std::uintptr_t c, std::uintptr_t) {
  if (receiver == nullptr) return 0;  // messages to nil do nothing
  return dispatch(receiver, static_cast<const char*>(selector), a, b, c);
}

void* _Block_copy(const void* source) {
  if (source == nullptr) return nullptr;
  auto& w = world();
  std::pair<void*, bool> copied;
  {
    MutexLock lock(w.mu);
    copied = block_copy_locked(w, source);
  }
  auto [copy, run_helper] = copied;
  if (!run_helper) return copy;
  const auto* header = static_cast<const BlockHeader*>(copy);
  helpers_of(header)->copy_helper(copy, const_cast<void*>(source));
  // The literal is dead once copied: scribble over it, so that any later use
  // of it shows up as an unknown block or a wild pointer.
  std::memset(const_cast<void*>(source), 0xA5, header->descriptor->size);
  return copy;
}

void _Block_release(const void* block) {
  if (block == nullptr) return;
  auto& w = world();
  {
    MutexLock lock(w.mu);
    HeapBlock* heap = live_heap_block(w, block, "_Block_release");
    if (heap == nullptr) return;
    auto* header = const_cast<BlockHeader*>(static_cast<const BlockHeader*>(block));
    if ((header->flags & BLOCK_NEEDS_FREE) == 0) {
      w.record.faults.push_back("_Block_release of a block without BLOCK_NEEDS_FREE");
      return;
    }
    w.record.events.emplace_back("release block");
    if ((header->flags & BLOCK_REFCOUNT_MASK) == 0) {
      w.record.faults.push_back("_Block_release of a block with no references");
      return;
    }
    header->flags -= 2;
    if ((header->flags & BLOCK_REFCOUNT_MASK) != 0) return;
    header->flags |= BLOCK_DEALLOCATING;
    heap->disposed = true;
    w.record.events.emplace_back("dispose block");
  }
  // Outside the lock: the helper destroys the backend's reply sender.
  const auto* header = static_cast<const BlockHeader*>(block);
  if (const BlockHelpers* helpers = helpers_of(header); helpers != nullptr) {
    helpers->dispose_helper(const_cast<void*>(block));
  }
}

}  // extern "C"

}  // namespace tarnwel::objc_standin
