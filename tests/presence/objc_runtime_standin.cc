#include "presence/objc_runtime_standin.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "base/mutex.h"

namespace tarnwel::objc_standin {

extern "C" void _Block_release(const void* block);

namespace {

constexpr int BLOCK_HAS_COPY_DISPOSE = 1 << 25;
constexpr unsigned long UTF8_ENCODING = 4;

struct BlockDescriptor {
  unsigned long reserved;
  unsigned long size;
  void (*copy_helper)(void* destination, void* source);
  void (*dispose_helper)(void* block);
};

struct BlockHeader {
  void* isa;
  int flags;
  int reserved;
  void (*invoke)(void* block, signed char success, void* error);
  const BlockDescriptor* descriptor;
};

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

struct HeapBlock {
  std::unique_ptr<std::byte[]> bytes;
  int references = 1;
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
    header->invoke(block, success ? 1 : 0, error);
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
  } else {
    w.record.faults.push_back("evaluatePolicy without a live reason string");
  }
  auto held = w.blocks.find(block);
  w.record.block_was_heap_copy = held != w.blocks.end();
  if (!w.record.block_was_heap_copy) {
    w.record.faults.push_back("evaluatePolicy with a block that is not a heap copy");
    return;
  }
  if (w.thread.joinable()) {
    w.record.faults.push_back("a second evaluation on one framework");
    return;
  }
  ++held->second.references;  // the framework holds the block until it has answered
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
  if (receiver == &LA_CONTEXT && is("new")) {
    if (w.script.new_context_returns_nil) return 0;
    return reinterpret_cast<std::uintptr_t>(new_object(w, LA_CONTEXT));
  }
  if (receiver == &NS_STRING && is("alloc")) {
    return reinterpret_cast<std::uintptr_t>(new_object(w, NS_STRING));
  }
  Object* self = find_object(w, receiver);
  if (self == nullptr) {
    w.record.faults.push_back(std::string("message to a dead or unknown object: ") + selector);
    return 0;
  }
  if (self->cls == &NS_STRING && is("initWithBytes:length:encoding:")) {
    w.record.reason_encoding = c;
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
  record.live_blocks = static_cast<int>(w.blocks.size());
  return record;
}

// The runtime's entry points. C linkage makes them the very symbols the
// backend calls, although they are declared inside this namespace.
extern "C" {

void* _NSConcreteStackBlock[32] = {};

void* objc_getClass(const char* name) {
  auto& w = world();
  MutexLock lock(w.mu);
  if (std::strcmp(name, "LAContext") == 0) {
    return w.script.hide_context_class ? nullptr : &LA_CONTEXT;
  }
  if (std::strcmp(name, "NSString") == 0) return &NS_STRING;
  if (std::strcmp(name, "NSError") == 0) return &NS_ERROR;
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

// The backend casts this to the exact type of each method it sends, with at
// most four arguments after the selector, all integers or pointers; those
// arrive here in the same registers.
std::uintptr_t objc_msgSend(void* receiver, void* selector, std::uintptr_t a, std::uintptr_t b,
                            std::uintptr_t c, std::uintptr_t) {
  if (receiver == nullptr) return 0;  // messages to nil do nothing
  return dispatch(receiver, static_cast<const char*>(selector), a, b, c);
}

void* _Block_copy(const void* source) {
  auto& w = world();
  const BlockDescriptor* descriptor = nullptr;
  std::byte* copy = nullptr;
  {
    MutexLock lock(w.mu);
    if (auto held = w.blocks.find(source); held != w.blocks.end()) {
      ++held->second.references;
      return const_cast<void*>(source);
    }
    if (w.script.block_copy_fails) return nullptr;
    const auto* header = static_cast<const BlockHeader*>(source);
    if (header->isa != static_cast<void*>(_NSConcreteStackBlock)) {
      w.record.faults.push_back("_Block_copy of something that is not a stack block");
      return nullptr;
    }
    descriptor = header->descriptor;
    auto bytes = std::make_unique<std::byte[]>(descriptor->size);
    std::memcpy(bytes.get(), source, descriptor->size);
    copy = bytes.get();
    w.blocks.emplace(copy, HeapBlock{std::move(bytes)});
    ++w.record.block_copies;
    if ((header->flags & BLOCK_HAS_COPY_DISPOSE) == 0) {
      w.record.faults.push_back("a block without copy and dispose helpers");
    }
  }
  descriptor->copy_helper(copy, const_cast<void*>(source));
  // The literal is dead once copied: scribble over it, so that any later use
  // of it shows up as an unknown block or a wild pointer.
  std::memset(const_cast<void*>(source), 0xA5, descriptor->size);
  return copy;
}

void _Block_release(const void* block) {
  auto& w = world();
  HeapBlock dying;
  {
    MutexLock lock(w.mu);
    auto held = w.blocks.find(block);
    if (held == w.blocks.end()) {
      w.record.faults.push_back("_Block_release of a block that is not a live heap copy");
      return;
    }
    w.record.events.emplace_back("release block");
    if (--held->second.references > 0) return;
    dying = std::move(held->second);
    w.blocks.erase(held);
    w.record.events.emplace_back("dispose block");
    ++w.record.block_disposals;
  }
  // Outside the lock: the helper destroys the backend's reply sender.
  void* copy = dying.bytes.get();
  static_cast<const BlockHeader*>(copy)->descriptor->dispose_helper(copy);
}

}  // extern "C"

}  // namespace tarnwel::objc_standin
