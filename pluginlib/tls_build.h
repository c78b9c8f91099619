// Whether this build carries a TLS layer: the configuration reader refuses
// HTTPS lines without one, and discovery does not probe over HTTPS. The
// build chooses the layer (OpenSSL on Linux, none in the Windows DLL) and
// tells this file with OSTRIK_TLS_OPENSSL.
#pragma once

// Whether this build can fetch pages over HTTPS.
bool tls_available(void);
