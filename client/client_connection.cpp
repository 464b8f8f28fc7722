#include "client/client_connection.h"
// PLACEHOLDER: the client connection lands with the client channel work.
void tavunetlink_GetClientConnection() {}
