// tcp_transaction.cc -- placeholder: the link protocol is not built yet.
#include "link/tcp_transaction.h"

void runTcpTransaction(std::int32_t, char**, const char*, std::uint32_t, const LinkEntry*) {}
