#include "askpass/pam_authentication.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/secure_wipe.h"

namespace tarnwel {
namespace {

struct ConversationState {
  PamPrompter* prompter;
  bool unanswered = false;
};

// PAM's replies are C blocks of malloc that PAM frees: no owner type can hold
// them across that boundary, hence the NOLINTs for malloc and free below.
void free_replies(pam_response* replies, int count) {
  for (int i = 0; i < count; ++i) {
    if (replies[i].resp == nullptr) continue;
    secure_wipe(replies[i].resp, std::strlen(replies[i].resp));
    std::free(replies[i].resp);  // NOLINT(cppcoreguidelines-owning-memory)
  }
  std::free(replies);  // NOLINT(cppcoreguidelines-owning-memory)
}

// PAM's conversation function: C linkage, malloc'd replies, as PAM wants them.
extern "C" int converse(int count, const pam_message** messages, pam_response** responses,
                        void* data) {
  auto* state = static_cast<ConversationState*>(data);
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* replies = static_cast<pam_response*>(  // NOLINT(cppcoreguidelines-owning-memory)
      std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const std::string_view text = messages[i]->msg != nullptr ? messages[i]->msg : "";
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
      case PAM_PROMPT_ECHO_ON: {
        const std::optional<WipedBytes> reply =
            state->prompter->ask(text, messages[i]->msg_style == PAM_PROMPT_ECHO_ON);
        if (!reply) {
          state->unanswered = true;
          free_replies(replies, i);
          return PAM_CONV_ERR;
        }
        auto* copy = static_cast<char*>(  // NOLINT(cppcoreguidelines-owning-memory)
            std::malloc(reply->size() + 1));
        if (copy == nullptr) {
          free_replies(replies, i);
          return PAM_BUF_ERR;
        }
        std::memcpy(copy, reply->data(), reply->size());
        copy[reply->size()] = '\0';
        replies[i].resp = copy;
        break;
      }
      case PAM_ERROR_MSG: state->prompter->tell(text, true); break;
      case PAM_TEXT_INFO: state->prompter->tell(text, false); break;
      default: free_replies(replies, i); return PAM_CONV_ERR;
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

std::optional<std::string> own_user_name() {
  std::vector<char> buffer(16 * 1024);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

}  // namespace

PamOutcome authenticate_with_pam(PamPrompter& prompter, int& tries_left) {
  const std::optional<std::string> user = own_user_name();
  if (!user) return {PamOutcome::Kind::Denied, "this user has no name to authenticate"};
  ConversationState state{&prompter};
  const pam_conv conversation{converse, &state};
  pam_handle_t* handle = nullptr;
  int status = ::pam_start(PAM_SERVICE_NAME, user->c_str(), &conversation, &handle);
  if (status != PAM_SUCCESS) {
    return {PamOutcome::Kind::Denied,
            std::string("PAM could not start: ") + ::pam_strerror(handle, status)};
  }
  const auto end = [&](pam_handle_t* h) { ::pam_end(h, status); };
  const std::unique_ptr<pam_handle_t, decltype(end)> owned(handle, end);
  while (tries_left > 0) {
    status = ::pam_authenticate(handle, 0);
    if (state.unanswered) return {PamOutcome::Kind::Unanswered, ""};
    if (status == PAM_SUCCESS) {
      status = ::pam_acct_mgmt(handle, 0);
      if (status == PAM_SUCCESS) return {PamOutcome::Kind::Granted, ""};
      return {PamOutcome::Kind::Denied, ::pam_strerror(handle, status)};
    }
    --tries_left;
    if (status != PAM_AUTH_ERR || tries_left == 0) break;
    prompter.tell("Sorry, try again.", true);
  }
  if (status == PAM_AUTH_ERR) {
    return {PamOutcome::Kind::Denied,
            "the password was refused " + std::to_string(PAM_TRIES) + " times"};
  }
  return {PamOutcome::Kind::Denied, ::pam_strerror(handle, status)};
}

}  // namespace tarnwel
