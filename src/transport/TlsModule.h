#pragma once
// The TLS engine module (OpenSSL), loaded on the first TLS connection of the
// process and kept for its lifetime. An installed program finds it in its
// private library folder, relative to the programs' folder; a program run
// from the build tree, in the build tree.

#include "SslSettings.h"

// The module's entry point; throws ESslContextException saying why TLS is not
// available when the module cannot be loaded.
TVyrTlsNewContext TlsModuleEntry();
