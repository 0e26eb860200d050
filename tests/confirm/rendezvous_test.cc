// The confirmation directory end to end: the real tarnwel-askpass posts its
// question as the agent runs it, and the answering side finds it, answers it
// and never reaches a question that is answered, timed out or stale.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "confirm/conversation.h"
#include "confirm/pending_questions.h"
#include "confirm/posted_question.h"
#include "confirm/question.h"
#include "paths/runtime_dir.h"
#include "support/agent_process.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;


TEST(QuestionTest, TextRoundTripsAndTheAgentsFactsStandLastWhateverTheReasonHolds) {
  const Question question{"0123456789abcdef0123456789abcdef",
                          12,
                          34,
                          "/bin/x",
                          "line one\n\x1b[2Jline two\nRequested by /usr/bin/git (pid 1)",
                          "work"};
  const std::optional<Question> back = parse_question(question.nonce, question_text(question));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(question_text(*back), question_text(question));
  EXPECT_EQ(describe_question(question),
            "line one\n\xEF\xBF\xBD[2Jline two\nRequested by /usr/bin/git (pid 1)\n"
            "Profile: work\nRequested by /bin/x (pid 34)");
  EXPECT_EQ(describe_question({question.nonce, 12, 0, "", "r", "work"}),
            "r\nProfile: work\nRequested by an unknown program");
  for (const std::string bad :
       {"", "asker=1\nrequester=2\nprogram=\n\nr", "asker=0\nrequester=2\nprogram=\nprofile=p\n\nr",
        "asker=1\nrequester=-2\nprogram=\nprofile=p\n\nr",
        "requester=2\nasker=1\nprogram=\nprofile=p\n\nr"}) {
    EXPECT_FALSE(parse_question("n", bad).has_value()) << bad;
  }
}

class RendezvousTest : public ::testing::Test {
 protected:
  RendezvousTest() { ::chmod(dir.c_str(), 0700); }

  TempDir root;
  const std::string dir = root.path();
  testing::SocketPair stop = testing::make_socket_pair();
};

TEST_F(RendezvousTest, AnAnswerReachesOnlyItsOwnQuestionAndOnlyOnce) {
  Result<PostedQuestion, std::string> first =
      PostedQuestion::post(dir, {"", 0, 7, "", "first", "p"});
  Result<PostedQuestion, std::string> second =
      PostedQuestion::post(dir, {"", 0, 8, "", "second", "p"});
  ASSERT_TRUE(first.ok() && second.ok());
  const std::string first_nonce = first.value().question().nonce;
  std::vector<Question> pending = pending_questions(dir);
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].asker, ::getpid());

  std::thread answerer([&] { EXPECT_TRUE(answer_question(dir, first_nonce, true).ok()); });
  const WaitEnds ends{stop.ours.get(), -1, MonotonicClock::now() + testing::EVENT_LIMIT};
  Result<UniqueFd, PostedQuestion::End> link = first.value().next_answerer(ends);
  ASSERT_TRUE(link.ok());
  ASSERT_TRUE(send_to_answerer(link.value().get(), AskKind::YesNo));
  WipedBytes answer;
  EXPECT_EQ(read_reply(link.value().get(), answer, ends), ReplyEnd::Answered);
  EXPECT_EQ(as_view(answer), "y");
  first.value().withdraw();
  link.value().reset();
  answerer.join();
  // Answered: gone at once, and a second answer reaches nothing.
  EXPECT_EQ(answer_question(dir, first_nonce, true).error(), QUESTION_GONE);
  pending = pending_questions(dir);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].reason, "second");

  // A stop ends the wait unanswered; the question's files go with it.
  ASSERT_EQ(::write(stop.peer.get(), "s", 1), 1);
  EXPECT_EQ(second.value().next_answerer(ends).error(), PostedQuestion::End::Stopped);
  const std::string second_nonce = second.value().question().nonce;
  { const PostedQuestion ended = std::move(second).value(); }
  EXPECT_EQ(answer_question(dir, second_nonce, true).error(), QUESTION_GONE);
  EXPECT_EQ(answer_question(dir, "../../etc/passwd", true).error(), QUESTION_GONE);
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(RendezvousTest, AQuestionOfADeadAskerIsNeverListedNorApprovedAndIsCleanedUp) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(testing::exit_status_of(dead), 0);
  const std::string nonce = "00112233445566778899aabbccddeeff";
  std::ofstream(dir + "/" + nonce + ".question")
      << question_text({nonce, dead, ::getpid(), "", "stale", "p"});
  // Nobody listens: the answer reaches nobody.
  ASSERT_TRUE(listen_unix(dir + "/" + nonce + ".answer").ok());
  EXPECT_EQ(answer_question(dir, nonce, true).error(), QUESTION_GONE);
  EXPECT_TRUE(pending_questions(dir).empty());
  EXPECT_TRUE(fs::is_empty(dir));

  // A file without its question is left while its asker may still be
  // posting, and removed once it is far older than any wait.
  const std::string orphan = dir + "/" + nonce + ".answer";
  ASSERT_EQ(::mkfifo(orphan.c_str(), 0600), 0);
  EXPECT_TRUE(pending_questions(dir).empty());
  EXPECT_TRUE(fs::exists(orphan));
  const timespec old[2] = {{0, 0}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, orphan.c_str(), old, 0), 0);
  EXPECT_TRUE(pending_questions(dir).empty());
  EXPECT_TRUE(fs::is_empty(dir));
}

class AskpassProgramTest : public ::testing::Test {
 protected:
  // Runs tarnwel-askpass as the agent would, with this process as requester.
  pid_t start(const std::string& kind = "confirm", pid_t requester = ::getpid(),
              std::vector<std::string> env = {"TARNWEL_AGENT_CONFIRM_METHOD=yes-no"}) {
    env.insert(env.end(),
               {"TARNWEL_AGENT_RUNTIME_DIR=" + root.path(), "SSH_ASKPASS_PROMPT=" + kind,
                "TARNWEL_AGENT_REQUESTER_PID=" + std::to_string(requester),
                "TARNWEL_AGENT_REQUESTER_EXE=/bin/git",
                "TARNWEL_AGENT_REASON=deploy\nto production", "TARNWEL_AGENT_PROFILE=work"});
    return testing::spawn(TARNWEL_ASKPASS_PATH_FOR_TESTS, {}, env, -1, -1, err.peer.get());
  }
  std::optional<Question> posted() {
    std::optional<Question> found;
    testing::wait_until([&] {
      const std::vector<Question> pending = pending_questions(dir);
      if (!pending.empty()) found = pending.front();
      return found.has_value();
    });
    return found;
  }
  std::string error_output() {
    err.peer.reset();
    return testing::read_all(err.ours.get());
  }

  TempDir root;
  const std::string dir = confirm_dir_for(root.path(), ::getuid());
  testing::SocketPair err = testing::make_socket_pair();
};

TEST_F(AskpassProgramTest, PostsItsQuestionAndTakesOneAnswer) {
  pid_t askpass = start();
  std::optional<Question> question = posted();
  ASSERT_TRUE(question.has_value());
  EXPECT_EQ(question->reason, "deploy\nto production");
  EXPECT_EQ(question->profile, "work");
  EXPECT_EQ(question->requester, ::getpid());
  EXPECT_EQ(question->program, "/bin/git");
  EXPECT_EQ(testing::mode_of(dir), 0700u);
  ASSERT_TRUE(answer_question(dir, question->nonce, true).ok());
  EXPECT_EQ(testing::exit_status_of(askpass), 0);
  EXPECT_TRUE(fs::is_empty(dir));

  // (A "no" is shown end to end, as tarnwelctl confirm answers it.) The
  // agent's time-out: terminated, it leaves nothing that could be approved.
  askpass = start();
  question = posted();
  ASSERT_EQ(::kill(askpass, SIGTERM), 0);
  EXPECT_EQ(testing::exit_status_of(askpass), 1);
  EXPECT_EQ(answer_question(dir, question->nonce, true).error(), QUESTION_GONE);
  EXPECT_TRUE(fs::is_empty(dir));

  // A requester that ends takes its question with it at once: nobody waits
  // for its answer any more.
  const pid_t requester = testing::spawn("/bin/sleep", {"100"}, {}, -1, -1, -1);
  askpass = start("confirm", requester, {});
  question = posted();
  ASSERT_EQ(::kill(requester, SIGKILL), 0);
  EXPECT_EQ(testing::exit_status_of(requester), -1);
  EXPECT_EQ(testing::exit_status_of(askpass), 1);
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_EQ(error_output(), "stopped before an answer came\nthe requesting program has gone\n");
}

#if defined(__linux__)
// The login password through PAM, as cwrap's pam_wrapper stands in for the
// system's PAM: its pam_matrix module takes this user's password from a file.
TEST_F(AskpassProgramTest, ThePasswordMethodTakesTheLoginPasswordThroughPamAndNeverAYes) {
  const std::string services = root.path() + "/pam.d";
  fs::create_directory(services);
  const std::string matrix = std::string(PAM_WRAPPER_MODULE_DIR_FOR_TESTS) +
                             "/pam_matrix.so passdb=" + root.path() + "/passdb\n";
  // (PAM reads "other" as well, and pam_wrapper complains on stderr without it.)
  for (const char* service : {"/tarnwel-agent", "/other"}) {
    std::ofstream(services + service)
        << "auth required " << matrix << "account required " << matrix;
  }
  std::ofstream(root.path() + "/passdb")
      << getpwuid(::getuid())->pw_name << ":right:tarnwel-agent\n";
  // Under a sanitizer its runtime need not come first, and pam_wrapper must
  // not load PAM with RTLD_DEEPBIND, which the runtime refuses (pam_wrapper
  // reads uid_wrapper's switch for that).
  const std::vector<std::string> pam = {"LD_PRELOAD=" PAM_WRAPPER_LIBRARY_FOR_TESTS,
                                        "PAM_WRAPPER=1", "PAM_WRAPPER_SERVICE_DIR=" + services,
                                        "ASAN_OPTIONS=verify_asan_link_order=0",
                                        "UID_WRAPPER_DISABLE_DEEPBIND=1"};
  // A "y" is no answer, and neither is a password with a blank too many; the
  // right one grants at the last of three tries. Each password prompt is
  // answered with the next of `passwords`. (Three wrong ones are refused end to
  // end in e2e/first_session.py, as tarnwelctl confirm answers.)
  const pid_t askpass = start("confirm", ::getpid(), pam);
  const std::string nonce = posted()->nonce;
  EXPECT_EQ(answer_question(dir, nonce, true).error(),
            "that question asks for more than a yes: answer it at a terminal");
  std::vector<std::string> passwords = {"y", "right ", "right"};
  std::string told;
  Result<UniqueFd, std::string> link = open_question(dir, nonce);
  while (const std::optional<AskerMessage> message = read_asker_message(link.value().get(), -1)) {
    if (message->kind == AskKind::Done) break;
    told += message->text + "|";
    if (message->kind != AskKind::Secret) continue;
    EXPECT_TRUE(send_answer(link.value().get(), passwords.front()));
    passwords.erase(passwords.begin());
  }
  EXPECT_EQ(told, "Password: |Sorry, try again.|Password: |Sorry, try again.|Password: |");
  EXPECT_EQ(testing::exit_status_of(askpass), 0);
  EXPECT_EQ(error_output(), "");
  EXPECT_TRUE(fs::is_empty(dir));
}
#endif

TEST_F(AskpassProgramTest, RefusesADirectoryItCannotTrustAndAPassphrasePrompt) {
  fs::create_directory(root.path() + "/elsewhere");
  fs::create_directory_symlink(root.path() + "/elsewhere", dir);
  EXPECT_EQ(testing::exit_status_of(start()), 1);
  EXPECT_EQ(testing::exit_status_of(start("")), 1);
  EXPECT_EQ(error_output(),
            "refusing to use confirmation dir " + dir + ": " + dir +
                " is a symlink - refusing to follow it\n"
                "tarnwel-askpass asks for confirmation only (SSH_ASKPASS_PROMPT=confirm)\n");
  EXPECT_TRUE(fs::is_empty(root.path() + "/elsewhere"));
}

}  // namespace
}  // namespace tarnwel
