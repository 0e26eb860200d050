// The yardstick for the load generator: the simplest server of the agent's
// design. One thread per connection, one line read, one fixed "ping" reply,
// then the connection is closed. Only the way connections are accepted can be
// chosen: each is the limit of one of the agent's accept loops, so that the
// cost of the loop can be told apart from the cost of the agent's request
// handling:
//
//   tarnwel-bench-reference SOCKET blocking  # blocking accept: the limit of a loop that
//                                            # wakes on a connection
//   tarnwel-bench-reference SOCKET poll      # non-blocking accept, 100 ms sleep when idle:
//                                            # the limit of the agent's default loop
//
// Runs until killed.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace tarnwel::bench {
namespace {

constexpr std::chrono::milliseconds POLL_SLEEP{100};

enum class AcceptMode { Blocking, Poll };

class Fd {  // Owns one descriptor; the reference links none of the project's code.
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&&) = delete;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Connection {
  Fd stream;
  const std::string& reply;
};

void serve_one(Fd stream, const std::string& reply) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(stream.get(), chunk, sizeof chunk);
    if (n <= 0) return;
    if (std::memchr(chunk, '\n', static_cast<std::size_t>(n)) != nullptr) break;
  }
  std::string_view rest = reply;
  while (!rest.empty()) {
    const ssize_t n = ::send(stream.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

int serve(const char* path, AcceptMode mode) {
  ::signal(SIGPIPE, SIG_IGN);
  const bool nonblocking = mode == AcceptMode::Poll;
  Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (listener.get() < 0 || std::strlen(path) >= sizeof address.sun_path) return 1;
  std::strcpy(address.sun_path, path);
  ::unlink(path);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0) {
    std::perror("tarnwel-bench-reference: bind");
    return 1;
  }
  // The agent's ping reply in shape and size.
  const std::string reply =
      R"({"agent_commit":"000000000000","agent_pid":)" + std::to_string(::getpid()) +
      R"(,"agent_version":")" TARNWEL_VERSION R"(","ok":true,"protocol_version":2})" + "\n";
  for (;;) {
    Fd stream(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (stream.get() < 0) {
      if (nonblocking) std::this_thread::sleep_for(POLL_SLEEP);
      continue;
    }
    // Started detached, as the agent starts its threads: std::thread's
    // detach() of a thread that is already running can fault in glibc when
    // that thread's stack is unmapped at the same moment.
    auto connection = std::make_unique<Connection>(Connection{std::move(stream), reply});
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const auto run = [](void* arg) -> void* {
      const std::unique_ptr<Connection> mine(static_cast<Connection*>(arg));
      serve_one(std::move(mine->stream), mine->reply);
      return nullptr;
    };
    // No thread to be had: this connection is closed, as the agent does.
    if (pthread_create(&thread, &attributes, run, connection.get()) == 0)
      (void)connection.release();
    pthread_attr_destroy(&attributes);
  }
}

}  // namespace
}  // namespace tarnwel::bench

int main(int argc, char** argv) {
  using tarnwel::bench::AcceptMode;
  const std::string_view mode = argc == 3 ? argv[2] : "";
  if (mode == "blocking") return tarnwel::bench::serve(argv[1], AcceptMode::Blocking);
  if (mode == "poll") return tarnwel::bench::serve(argv[1], AcceptMode::Poll);
  std::fprintf(stderr, "usage: tarnwel-bench-reference SOCKET blocking|poll\n");
  return 2;
}
