/*
 * libpam_wrapper, when a process starts, picks a free /tmp/pam.<letter> by lstat and then
 * mkdirs it. Two wrapped processes starting at once can pick the same letter: the loser prints
 * "Failed to create pam_wrapper config dir" and both then share one folder of service files
 * (and the first to exit removes it). Tests run many wrapped processes in parallel, so each
 * one's start-up is serialised with a lock file. The file is the build tree's own
 * (PAM_WRAPPER_START_LOCK), not one fixed name in /tmp: nobody else on the machine can own it,
 * replace it or hold it, and a run never waits on another tree's. Runs of two trees are not
 * serialised against each other; they would have to start in the same few microseconds on
 * the same letter to meet.
 *
 * Built twice: the acquiring half is preloaded after the wrapper (so its constructor runs
 * before the wrapper's: preloads are initialised last first), the releasing half before it.
 */
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#ifdef START_LOCK_ACQUIRE
/* Read by the releasing half; -1 when the lock couldn't be had (the run goes on unserialised). */
__attribute__((visibility("default"))) int ferrowick_pam_wrapper_start_lock = -1;

__attribute__((constructor)) static void acquire(void) {
  int fd = open(PAM_WRAPPER_START_LOCK, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    close(fd);
    return;
  }
  ferrowick_pam_wrapper_start_lock = fd;
}
#else
#include <dlfcn.h>

__attribute__((constructor)) static void release(void) {
  int* fd = (int*)dlsym(RTLD_DEFAULT, "ferrowick_pam_wrapper_start_lock");
  if (fd == NULL || *fd < 0) return;
  close(*fd); /* the lock goes with its only descriptor */
  *fd = -1;
}
#endif
