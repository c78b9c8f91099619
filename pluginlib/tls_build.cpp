#include "pluginlib/tls_build.h"

#ifdef OSTRIK_TLS_OPENSSL
bool tls_available(void) { return true; }
#else
bool tls_available(void) { return false; }
#endif
