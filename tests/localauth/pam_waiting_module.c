/* A PAM module that behaves as a fingerprint or security-key module does: it sends one message
 * through the conversation, then waits without prompting until a trigger file appears or a time
 * passes, and then succeeds, fails, passes on to the next module, or falls back to a password
 * asked with libpam's own (translated) prompt.
 *
 * auth arguments:
 *   trigger=PATH    wait until PATH exists; its first word is the outcome
 *   wait=SECONDS    wait at most this long (default 30); then the outcome of `then`
 *   then=OUTCOME    success | failure | next | password (default failure)
 *   style=error     send the message as PAM_ERROR_MSG instead of PAM_TEXT_INFO
 *   text=TEXT       the message (default "Place your finger on the fingerprint reader"; use
 *                   PAM's [text=...] form for spaces)
 *   passfile=PATH   the password the "password" outcome accepts (first line of PATH)
 *   started=PATH    created once the message is sent: the test knows the module now waits
 * account arguments:
 *   expired         says, as pam_unix does, that the password must be changed now, and refuses
 */
#include <libintl.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char* argument(int argc, const char** argv, const char* name) {
  size_t length = strlen(name);
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
  }
  return NULL;
}

static int flag(int argc, const char** argv, const char* name) {
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], name) == 0) return 1;
  }
  return 0;
}

static int say(pam_handle_t* pamh, int style, const char* text) {
  const struct pam_conv* conv = NULL;
  if (pam_get_item(pamh, PAM_CONV, (const void**)&conv) != PAM_SUCCESS || conv == NULL ||
      conv->conv == NULL) {
    return PAM_CONV_ERR;
  }
  struct pam_message message = {style, text};
  const struct pam_message* messages[] = {&message};
  struct pam_response* replies = NULL;
  int status = conv->conv(1, messages, &replies, conv->appdata_ptr);
  if (replies != NULL) {
    free(replies[0].resp);
    free(replies);
  }
  return status;
}

static void firstWord(const char* path, char* into, size_t size) {
  into[0] = '\0';
  FILE* file = fopen(path, "r");
  if (file == NULL) return;
  if (fgets(into, (int)size, file) == NULL) into[0] = '\0';
  fclose(file);
  into[strcspn(into, " \r\n")] = '\0';
}

static int checkPassword(pam_handle_t* pamh, const char* passfile) {
  const char* typed = NULL;
  int status = pam_get_authtok(pamh, PAM_AUTHTOK, &typed, NULL);
  if (status != PAM_SUCCESS) return status;
  char expected[256];
  if (passfile == NULL) return PAM_AUTH_ERR;
  FILE* file = fopen(passfile, "r");
  if (file == NULL) return PAM_AUTH_ERR;
  if (fgets(expected, sizeof expected, file) == NULL) expected[0] = '\0';
  fclose(file);
  expected[strcspn(expected, "\r\n")] = '\0';
  return typed != NULL && strcmp(typed, expected) == 0 ? PAM_SUCCESS : PAM_AUTH_ERR;
}

static int outcome(pam_handle_t* pamh, const char* word, const char* passfile) {
  if (strcmp(word, "success") == 0) return PAM_SUCCESS;
  if (strcmp(word, "next") == 0) return PAM_AUTHINFO_UNAVAIL;
  if (strcmp(word, "password") == 0) return checkPassword(pamh, passfile);
  return PAM_AUTH_ERR;
}

PAM_EXTERN int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc, const char** argv) {
  (void)flags;
  const char* trigger = argument(argc, argv, "trigger");
  const char* waitText = argument(argc, argv, "wait");
  const char* then = argument(argc, argv, "then");
  const char* style = argument(argc, argv, "style");
  const char* text = argument(argc, argv, "text");
  const char* started = argument(argc, argv, "started");
  const char* passfile = argument(argc, argv, "passfile");
  int status =
      say(pamh, style != NULL && strcmp(style, "error") == 0 ? PAM_ERROR_MSG : PAM_TEXT_INFO,
          text != NULL ? text : "Place your finger on the fingerprint reader");
  if (status != PAM_SUCCESS) return PAM_AUTHINFO_UNAVAIL;
  if (started != NULL) {
    FILE* file = fopen(started, "w");
    if (file != NULL) fclose(file);
  }
  double limit = waitText != NULL ? atof(waitText) : 30.0;
  struct timespec begin, now;
  clock_gettime(CLOCK_MONOTONIC, &begin);
  while (1) {
    if (trigger != NULL && access(trigger, F_OK) == 0) {
      char word[64];
      firstWord(trigger, word, sizeof word);
      return outcome(pamh, word, passfile);
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((double)(now.tv_sec - begin.tv_sec) + (double)(now.tv_nsec - begin.tv_nsec) / 1e9 >=
        limit) {
      return outcome(pamh, then != NULL ? then : "failure", passfile);
    }
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t* pamh, int flags, int argc, const char** argv) {
  (void)pamh;
  (void)flags;
  (void)argc;
  (void)argv;
  return PAM_SUCCESS;
}

PAM_EXTERN int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv) {
  (void)flags;
  if (!flag(argc, argv, "expired")) return PAM_SUCCESS;
  /* pam_unix's words, from PAM's own translations. */
  say(pamh, PAM_ERROR_MSG,
      dgettext("Linux-PAM",
               "You are required to change your password immediately (administrator enforced)"));
  return PAM_NEW_AUTHTOK_REQD;
}
