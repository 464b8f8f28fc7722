// Who may be the client: the uids of the build's TAVU_CLIENT_UIDS.
#include <algorithm>
#include <iterator>

#include "client_channel.h"

bool tavuClientUidAllowed(uid_t uid) {
#ifdef TAVU_ANY_CLIENT_UID
  (void)uid;
  return true;
#else
  static const uid_t allowed[] = {TAVU_CLIENT_UIDS};
  return std::find(std::begin(allowed), std::end(allowed), uid) != std::end(allowed);
#endif
}
