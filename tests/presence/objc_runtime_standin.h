// A stand-in for the parts of the Objective-C runtime, the Blocks runtime,
// Foundation and LocalAuthentication that LocalAuthenticationBackend calls, so
// that the backend's own source runs and is checked off macOS.
//
// The runtime entry points (objc_msgSend, _Block_copy, ...) are defined in the
// .cc with C linkage, and follow the real runtimes' rules: _Block_copy and
// _Block_release decide by the block's flags word (a heap block's reference
// count lives there), the framework retains the block through _Block_copy,
// and a failing init releases its receiver. A `Framework` scripts how the
// next evaluation is answered, on a thread of its own as the real service
// does, calling the block with the BOOL of the architecture (bool on arm64,
// signed char on x86_64), and records what the backend did: the reason it
// passed, what is still alive, and every misuse as a fault instead of
// undefined behaviour.
//
// Thread-safety: one Framework at a time, created and finished on the test's
// thread; the runtime functions may be called from any thread.
//
//   Framework framework({.reply = Reply::DeniedWithError, .error_text = "Canceled."});
//   PresenceOutcome outcome = backend.evaluate("reason");
//   framework.finish();
//   EXPECT_TRUE(framework.record().faults.empty());
#pragma once

#include <string>
#include <vector>

namespace tarnwel::objc_standin {

enum class Reply {
  Granted,             // success, no error object
  GrantedWithError,    // success, and an error object all the same
  DeniedWithError,     // failure with an error whose description is the script's error_text
  DeniedWithoutError,  // failure, no error object
  Never,               // keeps the block until finish() and never calls it
  DropWithoutReply,    // releases the block on its thread without calling it
  AfterWaitEnds,       // keeps it until deliver_late_reply(), which calls it (granted)
};

struct Script {
  Reply reply = Reply::Granted;
  std::string error_text = "Canceled by user.";
  // What fails: the class of that name is not found ("LAContext", "NSString"),
  // that method answers nil ("new", "initWithBytes:length:encoding:"), or
  // "_Block_copy" returns null.
  std::string refuse{};
  // The framework raises when it receives this selector.
  std::string raise_on{};
};

struct Record {
  long policy = -1;      // as evaluatePolicy was given it; -1 until then
  std::string reason;    // the bytes of the reason string the framework was given
  int live_objects = 0;  // objects created and not yet deallocated
  int live_blocks = 0;   // heap blocks not yet disposed
  int open_pools = 0;    // pushed and not yet popped
  // Misuse: unknown selectors, over-releases, stack blocks used after their copy...
  std::vector<std::string> faults;
};

// The one scripted framework: not copied, since its end finishes it.
class Framework {
 public:
  explicit Framework(Script script);
  Framework(const Framework&) = delete;
  Framework& operator=(const Framework&) = delete;

  // Sends an AfterWaitEnds reply, on the calling thread.
  void deliver_late_reply();
  // Joins the framework's thread and releases the block it still holds; the
  // destructor does it too.
  void finish();
  ~Framework();

  Record record() const;
};

}  // namespace tarnwel::objc_standin
