/* The users allowed as the daemon's client (the build's TAVU_CLIENT_UIDS).
 * The daemon serves only them, and the client library trusts only a daemon
 * run by them: one list, read by the C library and the daemon alike. */
#ifndef TAVU_ALLOWED_UIDS_H
#define TAVU_ALLOWED_UIDS_H

#include <stddef.h>
#include <sys/types.h>

static inline int tavu_uid_allowed(uid_t uid) {
#ifdef TAVU_ANY_CLIENT_UID
  (void)uid;
  return 1;
#else
  static const uid_t allowed[] = {TAVU_CLIENT_UIDS};
  for (size_t i = 0; i < sizeof allowed / sizeof allowed[0]; ++i) {
    if (uid == allowed[i]) return 1;
  }
  return 0;
#endif
}

#endif
